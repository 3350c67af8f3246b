/* SPDX-License-Identifier: ISC */
/*
 * Blocks appended to one image, three ways: `append N WAY` appends N
 * blocks by append_jpg, by a minimal open-write-close loop, or by writes
 * to the stream that make_jpg returned.  bench/run builds it.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tarnvel_notes.h>
#include <unistd.h>
int
main(int argc, char *argv[])
{
	BYTE block[TARNVEL_BLOCK_SIZE];
	if (argc != 3)
		return 2;
	long n = atol(argv[1]);
	memset(block, 0xd8, sizeof(block));
	if (strcmp(argv[2], "append_jpg") == 0) {
		for (long i = 0; i < n; i++)
			append_jpg(1, block);
	} else if (strcmp(argv[2], "open-write-close") == 0) {
		for (long i = 0; i < n; i++) {
			int fd = open("1,jpg", O_WRONLY | O_CREAT | O_APPEND, 0666);
			if (fd < 0 || write(fd, block, sizeof(block)) != sizeof(block) ||
			    close(fd) != 0)
				return 1;
		}
	} else if (strcmp(argv[2], "stream") == 0) {
		FILE *img = make_jpg(1);
		for (long i = 0; img != NULL && i < n; i++)
			if (fwrite(block, sizeof(block), 1, img) != 1)
				return 1;
		if (img == NULL || fclose(img) != 0)
			return 1;
	} else {
		return 2;
	}
	return 0;
}
