// SPDX-License-Identifier: ISC
// Carves image 1 of a made-up card, in C: a header, then one appended block.

#include <stdio.h>

#include <tarnvel_notes.h>

int
main(void)
{
	BYTE block[TARNVEL_BLOCK_SIZE];
	for (int i = 0; i < TARNVEL_BLOCK_SIZE; i++)
		block[i] = (BYTE)i;

	FILE *img = make_jpg(1);
	if (img == NULL || fputs("header", img) == EOF || fclose(img) != 0)
		return 1;
	append_jpg(1, block);
	return check_signature(block) == 1 ? 0 : 1;
}
