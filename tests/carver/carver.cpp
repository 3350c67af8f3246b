// SPDX-License-Identifier: ISC
// Carves image 1 of a made-up card: a header, then one appended block.

#include <cstdio>

#include <tarnvel_notes.h>

int
main()
{
	BYTE block[512];
	for (int i = 0; i < 512; i++)
		block[i] = static_cast<BYTE>(i);

	FILE *img = make_jpg(1);
	if (img == nullptr || fputs("header", img) == EOF || fclose(img) != 0)
		return 1;
	append_jpg(1, block);
	return check_signature(block) == 1 ? 0 : 1;
}
