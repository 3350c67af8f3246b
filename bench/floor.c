/* SPDX-License-Identifier: ISC */
/*
 * The floor for one run of tarnvel_notes: the tool's system calls, those
 * of its failure paths too, in plain C, with nothing else.  bench/run
 * builds it as the tool is built.
 */
#define _GNU_SOURCE /* statx */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <linux/magic.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

static int
fail(const char *new_log, const char *line)
{
	if (new_log != NULL)
		unlink(new_log);
	fputs(line, stderr);
	return 1;
}

static int
same(const struct stat *a, const struct stat *b)
{
	return (a->st_dev == b->st_dev && a->st_ino == b->st_ino) ||
	       (S_ISBLK(a->st_mode) && S_ISBLK(b->st_mode) && a->st_rdev == b->st_rdev) ||
	       (S_ISCHR(a->st_mode) && S_ISCHR(b->st_mode) && a->st_rdev == b->st_rdev);
}

static int on_path(int steps, const struct stat *card, const char *path);
static int on_device(int steps, const struct stat *card, dev_t dev);

static int
read_dev(const char *name, dev_t *dev)
{
	unsigned int a = 0, b = 0;
	FILE *f = fopen(name, "r");
	int ok = f != NULL && fscanf(f, "%u:%u", &a, &b) == 2;
	if (f != NULL)
		fclose(f);
	*dev = makedev(a, b);
	return ok;
}

static void
unescape(char *p)
{
	char *o = p;
	for (const char *i = p; *i != '\0'; o++) {
		if (i[0] == '\\' && i[1] >= '0' && i[1] <= '7' && i[2] >= '0' && i[2] <= '7' &&
		    i[3] >= '0' && i[3] <= '7') {
			*o = (char)(((i[1] - '0') * 8 + (i[2] - '0')) * 8 + (i[3] - '0'));
			i += 4;
		} else {
			*o = *i++;
		}
	}
	*o = '\0';
}

static int
on_file(int steps, const struct stat *card, const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return 0;
	if (same(card, &st))
		return 1;
	if (S_ISBLK(st.st_mode))
		return on_device(steps, card, st.st_rdev);
	return on_path(steps, card, path);
}

static int
on_device(int steps, const struct stat *card, dev_t dev)
{
	char name[64], path[PATH_MAX];
	dev_t up = 0;
	if (S_ISBLK(card->st_mode) && dev == card->st_rdev)
		return 1;
	if (steps == 0)
		return 0;
	snprintf(name, sizeof(name), "/sys/dev/block/%u:%u/loop/backing_file", major(dev),
	         minor(dev));
	FILE *f = fopen(name, "r");
	int ok = f != NULL && fscanf(f, "%4095[^\n]", path) == 1;
	if (f != NULL)
		fclose(f);
	if (ok)
		return on_file(steps - 1, card, path);
	snprintf(name, sizeof(name), "/sys/dev/block/%u:%u/../dev", major(dev), minor(dev));
	if (read_dev(name, &up))
		return on_device(steps - 1, card, up);
	snprintf(name, sizeof(name), "/sys/dev/block/%u:%u/slaves", major(dev), minor(dev));
	DIR *d = opendir(name);
	int on = 0;
	for (struct dirent *e; !on && d != NULL && (e = readdir(d)) != NULL;) {
		snprintf(path, sizeof(path), "%s/%s/dev", name, e->d_name);
		on = e->d_name[0] != '.' && read_dev(path, &up) && on_device(steps - 1, card, up);
	}
	if (d != NULL)
		closedir(d);
	return on;
}

static int
on_mount(int steps, const struct stat *card, uint64_t id)
{
	char source[PATH_MAX], options[PATH_MAX];
	uint64_t each = 0;
	int found = 0;
	FILE *f = fopen("/proc/self/mountinfo", "r");
	while (!found && f != NULL &&
	       fscanf(f, "%" SCNu64 " %*u %*s %*s %*s %*[^-]- %*s %4095s %4095s%*[^\n]", &each,
	              source, options) == 3)
		found = each == id;
	if (f != NULL)
		fclose(f);
	if (!found)
		return 0;
	char *upper = strstr(options, ",upperdir=");
	if (upper != NULL) {
		upper += strlen(",upperdir=");
		char *end = strchr(upper, ',');
		if (end != NULL)
			*end = '\0';
		unescape(upper);
		return on_path(steps, card, upper);
	}
	unescape(source);
	return source[0] == '/' && on_file(steps, card, source);
}

static int
stored(int steps, const struct stat *card, const char *path, const struct statx *st)
{
	struct statfs fs;
	if (st->stx_dev_major != 0)
		return on_device(steps, card, makedev(st->stx_dev_major, st->stx_dev_minor));
	if (statfs(path, &fs) != 0)
		return 0;
	uint32_t type = (uint32_t)fs.f_type;
	if (type != BTRFS_SUPER_MAGIC && type != FUSE_SUPER_MAGIC && type != OVERLAYFS_SUPER_MAGIC)
		return 0;
	return on_mount(steps, card, st->stx_mnt_id);
}

static int
on_path(int steps, const struct stat *card, const char *path)
{
	struct statx st;
	if (steps == 0 || statx(AT_FDCWD, path, 0, STATX_MNT_ID, &st) != 0)
		return 0;
	return stored(steps - 1, card, path, &st);
}

int
main(void)
{
	uint8_t buffer[512] = {0};
	struct stat card, log;
	struct statx here;
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
		if (same(&card, &log))
			return fail(NULL, "Could not write tarnvel_log.txt: it is card.raw.\n");
	} else if (errno != ENOENT && errno != ELOOP) {
		return fail(NULL, "Could not write tarnvel_log.txt.\n");
	}
	if (statx(AT_FDCWD, ".", 0, STATX_MNT_ID, &here) != 0)
		return fail(NULL, "Could not write tarnvel_log.txt.\n");
	if (stored(8, &card, ".", &here))
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
