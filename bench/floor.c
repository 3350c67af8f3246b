/* SPDX-License-Identifier: ISC */
/*
 * The floor for one run of tarnvel_notes: the tool's system calls, those
 * of its failure paths too, in plain C, with nothing else.  bench/run
 * builds it as the tool is built.
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

static int
fail(const char *new_log, const char *line)
{
	if (new_log != NULL)
		unlink(new_log);
	fputs(line, stderr);
	return 1;
}

int
main(void)
{
	uint8_t buffer[512] = {0};
	struct stat card, log, here;
	char new_log[48];
	int fd = -1;

	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);
	FILE *inptr = fopen("card.raw", "r");
	if (inptr == NULL) {
		if (printf("Could not open card.raw.\n") < 0 || fflush(stdout) != 0)
			fputs("Could not write standard output.\n", stderr);
		return 2;
	}
	setvbuf(inptr, NULL, _IONBF, 0);
	if (fread(buffer, 512, 1, inptr) != 1 && ferror(inptr))
		return fclose(inptr), 2;
	int known = fstat(fileno(inptr), &card) == 0;
	fclose(inptr);
	if (!known)
		return fail(NULL, "Could not write tarnvel_log.txt.\n");
	if (stat("tarnvel_log.txt", &log) == 0) {
		if ((card.st_dev == log.st_dev && card.st_ino == log.st_ino) ||
		    (S_ISBLK(card.st_mode) && S_ISBLK(log.st_mode) &&
		     card.st_rdev == log.st_rdev) ||
		    (S_ISCHR(card.st_mode) && S_ISCHR(log.st_mode) && card.st_rdev == log.st_rdev))
			return fail(NULL, "Could not write tarnvel_log.txt: it is card.raw.\n");
	} else if (errno != ENOENT && errno != ELOOP) {
		return fail(NULL, "Could not write tarnvel_log.txt.\n");
	}
	if (stat(".", &here) != 0)
		return fail(NULL, "Could not write tarnvel_log.txt.\n");
	if (S_ISBLK(card.st_mode) && here.st_dev == card.st_rdev)
		return fail(NULL, "Could not write tarnvel_log.txt: it is on card.raw.\n");
	for (int tries = 0; fd < 0 && tries < 100; tries++) {
		snprintf(new_log, sizeof(new_log), ".tarnvel_log.txt.%ld.%d", (long)getpid(),
		         tries);
		fd = open(new_log, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
		          0666);
		if (fd < 0 && errno != EEXIST)
			break;
	}
	if (fd < 0)
		return fail(NULL, "Could not create tarnvel_log.txt.\n");
	FILE *outptr = fdopen(fd, "w");
	if (outptr == NULL)
		return close(fd), fail(new_log, "Could not write tarnvel_log.txt.\n");
	int written = fprintf(outptr, "Buffer has: %i\n", buffer[0]) >= 0 && fflush(outptr) == 0 &&
	              fsync(fd) == 0;
	if (fclose(outptr) != 0 || !written)
		return fail(new_log, "Could not write tarnvel_log.txt.\n");
	if (rename(new_log, "tarnvel_log.txt") != 0)
		return fail(new_log, "Could not create tarnvel_log.txt.\n");
	return 0;
}
