// SPDX-License-Identifier: ISC
/*
 * The operations that JPEG images are carved out of a card image with,
 * for carvers in C or C++ that link the library tarnvel_notes::carving
 * (pkg-config: tarnvel_notes).  See tarnvel_notes(3).
 */
#ifndef TARNVEL_NOTES_H
#define TARNVEL_NOTES_H

#include <stdint.h>
#include <stdio.h>

/* The card is read, and images are carved, a block at a time. */
enum { TARNVEL_BLOCK_SIZE = 512 };

typedef uint8_t BYTE;

#ifdef __cplusplus
extern "C" {
#endif

/* Test a 512-byte block for a signature: every block passes, giving 1. */
int check_signature(BYTE *ptr);
/* Create or truncate "N,jpg"; return its stream, the caller's, or null. */
FILE *make_jpg(int img_number);
/* Append the 512-byte block to "N,jpg", creating it if absent. */
void append_jpg(int img_number, BYTE *this_chunk);

#ifdef __cplusplus
}
#endif

#endif
