// SPDX-License-Identifier: ISC
// Carves image 1 of a made-up card, in C++ that uses namespace std: a
// header, then one appended block.

#include <fcntl.h>

#include <cstdio>
#include <string>

#include <tarnvel_notes.h>

using namespace std;

int
main()
{
	// A closed standard descriptor would be taken by an image file, and
	// the progress lines would land in the image.
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
			return 1;

	BYTE block[TARNVEL_BLOCK_SIZE];
	for (int i = 0; i < TARNVEL_BLOCK_SIZE; i++)
		block[i] = static_cast<BYTE>(i);

	string header = "header";
	FILE *img = make_jpg(1);
	if (img == nullptr || fputs(header.c_str(), img) == EOF || fclose(img) != 0)
		return 1;
	append_jpg(1, block);
	return check_signature(block) == 1 ? 0 : 1;
}
