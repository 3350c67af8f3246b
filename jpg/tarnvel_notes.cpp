// SPDX-License-Identifier: ISC
/*
 * tarnvel_notes - note the first byte of a raw card image
 *
 * Started in a folder that holds "card.raw", a card image taken as
 * blocks of 512 bytes, it reads the first block and writes the value
 * of its first byte to the log "tarnvel_log.txt".
 *
 * The unit also holds the operations that JPEG images are carved out
 * of a card with: a block signature test, and numbered image files,
 * created, or reopened to append a block.  The entry point calls none
 * of them; carvers link against them, in a library built from this unit
 * with TARNVEL_CARVING_ONLY defined, which leaves the tool out.
 */

#include <sys/types.h>
#ifndef TARNVEL_CARVING_ONLY
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif /* !TARNVEL_CARVING_ONLY */

#include <cstdint>
#include <cstdio>

#include "tarnvel_notes.h"

/* Cards of 2 GiB and more open on 32-bit systems too. */
static_assert(sizeof(off_t) == sizeof(int64_t), "build with -D_FILE_OFFSET_BITS=64");

/* The unit's own name for a string; in the header it would clash with std::string. */
typedef char *string;

/* Room for "-2147483648,jpg" and its terminator: the name of any int. */
constexpr size_t IMAGE_NAME_SIZE = 16;

/*
 * Every block passes: no signature is looked for.  The block stays
 * non-const, since carvers link against this exact type.
 */
int
check_signature(BYTE *ptr) // NOLINT(readability-non-const-parameter)
{
	(void)ptr;
	return 1;
}

/*
 * Create, or truncate, the file of image img_number.  The stream
 * returned, null when the file can't be created, is the caller's.
 */
FILE *
make_jpg(int img_number)
{
	char name[IMAGE_NAME_SIZE];
	string image_name = name;
	(void)snprintf(image_name, sizeof(name), "%d,jpg", img_number);

	FILE *img = fopen(image_name, "w");
	(void)printf("Make jpg number %i: %s \n", img_number, image_name);
	if (img == nullptr) {
		/* Keep the progress line ahead when both streams share a file. */
		(void)fflush(stdout);
		(void)fprintf(stderr, "Could not create %s.\n", image_name);
	}
	return img;
}

/* Append one 512-byte block to the file of image img_number. */
void
append_jpg(int img_number, BYTE *this_chunk)
{
	char name[IMAGE_NAME_SIZE];
	string image_name = name;
	(void)snprintf(image_name, sizeof(name), "%d,jpg", img_number);

	(void)printf("Append to jpg number: %i \n", img_number);
	FILE *img = fopen(image_name, "a");
	if (img == nullptr) {
		(void)fflush(stdout);
		(void)fprintf(stderr, "Could not open %s.\n", image_name);
		return;
	}
	/*
	 * One block, written once: a buffer would only be sized, filled and
	 * flushed.  Unbuffered, the block goes out in one write.
	 */
	(void)setvbuf(img, nullptr, _IONBF, 0);
	/* A null block appends nothing, but the file is still created. */
	bool written = this_chunk == nullptr || fwrite(this_chunk, TARNVEL_BLOCK_SIZE, 1, img) == 1;
	if (fclose(img) != 0 || !written) {
		(void)fflush(stdout);
		(void)fprintf(stderr, "Could not write %s.\n", image_name);
	}
}

#ifndef TARNVEL_CARVING_ONLY
/*
 * Say that there is no card, on standard output as scripts expect; when
 * that can't be written, say so on standard error rather than nowhere.
 */
static int
no_card()
{
	if (printf("Could not open card.raw.\n") < 0 || fflush(stdout) != 0) {
		(void)fprintf(stderr, "Could not write standard output.\n");
	}
	return 2;
}

/*
 * The log is the card when both are one file, or, for a card that is a
 * device, two nodes of that one device.
 */
static bool
same_file(const struct stat *card, const struct stat *log)
{
	if (card->st_dev == log->st_dev && card->st_ino == log->st_ino) {
		return true;
	}
	bool block = S_ISBLK(card->st_mode) && S_ISBLK(log->st_mode);
	bool character = S_ISCHR(card->st_mode) && S_ISCHR(log->st_mode);
	return (block || character) && card->st_rdev == log->st_rdev;
}

/*
 * Say why the log was not written.  The new file, when there is one, is
 * removed: the old log stays whole.
 */
static int
no_log(char *new_log, const char *line)
{
	if (new_log != nullptr) {
		(void)unlink(new_log);
	}
	(void)fputs(line, stderr);
	return 1;
}

/*
 * Create the new log under a hidden name of its own, as the shell's >
 * creates a file: mode 0666, which the kernel narrows by the umask or
 * the folder's default ACL, and no chmod, which FAT and many mounts
 * refuse.  A name already taken, by anything, is passed over.
 */
static int
new_file(char *name, size_t size)
{
	constexpr int TRIES = 100;
	for (int tries = 0; tries < TRIES; tries++) {
		(void)snprintf(name, size, ".tarnvel_log.txt.%ld.%d", static_cast<long>(getpid()),
		               tries);
		int new_fd =
		    open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
		         DEFFILEMODE);
		if (new_fd >= 0 || errno != EEXIST) {
			return new_fd;
		}
	}
	return -1;
}

int
main(int argc, char *argv[])
{
	/* No options: every name the program uses is fixed. */
	(void)argc;
	(void)argv;
	/*
	 * A write into a pipe whose reader has gone, or past the file size
	 * limit, then fails and is reported, rather than ending the tool
	 * without a word.
	 */
	(void)signal(SIGPIPE, SIG_IGN);
	(void)signal(SIGXFSZ, SIG_IGN);

	FILE *inptr = fopen("card.raw", "r");
	if (inptr == nullptr) {
		return no_card();
	}

	/*
	 * Zeroed, so an empty card logs 0 rather than stack garbage; the
	 * C library leaves the bytes of a short card's partial block here.
	 */
	BYTE buffer[TARNVEL_BLOCK_SIZE] = {0};
	/*
	 * No read-ahead: a card that is a pipe or a device keeps every byte
	 * past the first block for whoever reads it next.  setvbuf fails
	 * only for a bad mode.
	 */
	(void)setvbuf(inptr, nullptr, _IONBF, 0);
	/* A short card is no failure; only an error on the stream is. */
	if (fread(buffer, TARNVEL_BLOCK_SIZE, 1, inptr) != 1 && ferror(inptr) != 0) {
		/* A directory, or an I/O error: there is no card to read. */
		(void)fclose(inptr);
		return no_card();
	}

	/*
	 * The card is only ever read, and the log is a new file renamed over
	 * its name, so whatever stood there, a link to another case's card
	 * included, is replaced and never written through.  Still refused:
	 * a name that is the card as opened, which the rename would take
	 * away, and a folder on the card's device, where the new file would
	 * be written onto the card.
	 */
	struct stat card;
	bool known = fstat(fileno(inptr), &card) == 0;
	(void)fclose(inptr);
	if (!known) {
		return no_log(nullptr, "Could not write tarnvel_log.txt.\n");
	}
	/*
	 * A name that can't be looked at might be the card, and is left be;
	 * no name, or a link that leads nowhere, is replaced.
	 */
	struct stat log;
	if (stat("tarnvel_log.txt", &log) == 0) {
		if (same_file(&card, &log)) {
			return no_log(nullptr,
			              "Could not write tarnvel_log.txt: it is card.raw.\n");
		}
	} else if (errno != ENOENT && errno != ELOOP) {
		return no_log(nullptr, "Could not write tarnvel_log.txt.\n");
	}
	struct stat here;
	if (stat(".", &here) != 0) {
		return no_log(nullptr, "Could not write tarnvel_log.txt.\n");
	}
	if (S_ISBLK(card.st_mode) && here.st_dev == card.st_rdev) {
		return no_log(nullptr, "Could not write tarnvel_log.txt: it is on card.raw.\n");
	}

	/* Room for the hidden name, whatever the process ID. */
	constexpr size_t NEW_LOG_SIZE = 48;
	char new_log[NEW_LOG_SIZE];
	int log_fd = new_file(new_log, sizeof(new_log));
	if (log_fd < 0) {
		return no_log(nullptr, "Could not create tarnvel_log.txt.\n");
	}
	FILE *outptr = fdopen(log_fd, "w");
	if (outptr == nullptr) {
		(void)close(log_fd);
		return no_log(new_log, "Could not write tarnvel_log.txt.\n");
	}
	/*
	 * On the disk before it replaces the old log, so that after a crash
	 * the name holds one whole log or the other, never an empty file.
	 */
	bool written = fprintf(outptr, "Buffer has: %i\n", buffer[0]) >= 0 && fflush(outptr) == 0 &&
	               fsync(log_fd) == 0;
	if (fclose(outptr) != 0 || !written) {
		return no_log(new_log, "Could not write tarnvel_log.txt.\n");
	}
	if (rename(new_log, "tarnvel_log.txt") != 0) {
		return no_log(new_log, "Could not create tarnvel_log.txt.\n");
	}
	return 0;
}
#endif /* !TARNVEL_CARVING_ONLY */
