// SPDX-License-Identifier: ISC
/*
 * The operations that JPEG images are carved out of a card image with,
 * for carvers that link the library tarnvel_notes::carving.
 */
#ifndef TARNVEL_NOTES_H
#define TARNVEL_NOTES_H

#include <cstdint>
#include <cstdio>

typedef uint8_t BYTE;
typedef char *string;

/* Test a 512-byte block for a signature: every block passes, giving 1. */
int check_signature(BYTE *ptr);
/* Create or truncate "N,jpg"; return its stream, the caller's, or null. */
FILE *make_jpg(int img_number);
/* Append the 512-byte block to "N,jpg", creating it if absent. */
void append_jpg(int img_number, BYTE *this_chunk);

#endif
