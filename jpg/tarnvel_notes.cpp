/*
 * tarnvel_notes - note the first byte of a raw card image
 *
 * Started in a folder that holds "card.raw", a card image taken as
 * blocks of 512 bytes, it reads the first block and writes the value
 * of its first byte to the log "tarnvel_log.txt".
 */

#include <cstdint>
#include <cstdio>

typedef uint8_t BYTE;

int
main(int argc, char *argv[])
{
	/* No options: every name the program uses is fixed. */
	(void)argc;
	(void)argv;

	FILE *inptr = fopen("card.raw", "r");
	if (inptr == nullptr) {
		printf("Could not open card.raw.\n");
		return 2;
	}

	/*
	 * Zeroed, so an empty card logs 0 rather than stack garbage; the
	 * C library leaves the bytes of a short card's partial block here.
	 */
	BYTE buffer[512] = {0};
	(void)fread(buffer, 512, 1, inptr);
	if (ferror(inptr)) {
		/* A directory, or an I/O error: there is no card to read. */
		(void)fclose(inptr);
		printf("Could not open card.raw.\n");
		return 2;
	}

	FILE *outptr = fopen("tarnvel_log.txt", "w");
	if (outptr == nullptr) {
		(void)fclose(inptr);
		fprintf(stderr, "Could not create tarnvel_log.txt.\n");
		return 1;
	}
	int written = fprintf(outptr, "Buffer has: %i\n", buffer[0]);
	(void)fclose(inptr);
	/* The line reaches the disk only as the log is closed: a full disk shows here. */
	if (fclose(outptr) != 0 || written < 0) {
		fprintf(stderr, "Could not write tarnvel_log.txt.\n");
		return 1;
	}
	return 0;
}
