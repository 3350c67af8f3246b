// SPDX-License-Identifier: ISC
// Carves image 1 of a made-up card: a header, then one appended block.

#include <fcntl.h>

#include <cstdio>

#include <tarnvel_notes.h>

int
main()
{
	// A closed standard descriptor would be taken by an image file, and
	// the progress lines would land in the image.
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
			return 1;

	BYTE block[512];
	for (int i = 0; i < 512; i++)
		block[i] = static_cast<BYTE>(i);

	FILE *img = make_jpg(1);
	if (img == nullptr || fputs("header", img) == EOF || fclose(img) != 0)
		return 1;
	append_jpg(1, block);
	return check_signature(block) == 1 ? 0 : 1;
}
