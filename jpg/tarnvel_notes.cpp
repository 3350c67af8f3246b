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
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstring>
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
 * How many steps the chain from the working directory to what stores it
 * may take: enough for a partition of a loop device over an image on a
 * partition of a device-mapper device, with some to spare.  Every step
 * counts one down, so no chain can go round for ever.
 */
constexpr int CHAIN_STEPS = 8;

static bool path_on_card(int steps, const struct stat *card, const char *path);
static bool device_on_card(int steps, const struct stat *card, dev_t dev);

/* The device number that a "dev" file of sysfs holds, as MAJOR:MINOR. */
static bool
read_device(const char *name, dev_t *dev)
{
	unsigned int dev_major = 0;
	unsigned int dev_minor = 0;
	FILE *file = fopen(name, "r");
	/* The kernel writes the numbers, so a conversion can't go wrong unseen. */
	bool read = file != nullptr &&
	            fscanf(file, "%u:%u", &dev_major, &dev_minor) == 2; // NOLINT(cert-err34-c)
	if (file != nullptr) {
		(void)fclose(file);
	}
	*dev = makedev(dev_major, dev_minor);
	return read;
}

/* The path that the first line of a file holds, into room for PATH_MAX. */
static bool
read_path(const char *name, char *path)
{
	FILE *file = fopen(name, "r");
	bool read = file != nullptr && fscanf(file, "%4095[^\n]", path) == 1;
	if (file != nullptr) {
		(void)fclose(file);
	}
	return read;
}

/* Undo, in place, mountinfo's escapes of a space and the like as \ooo. */
static void
unescape(char *path)
{
	constexpr int OCTAL = 8;
	char *out = path;
	for (const char *from = path; *from != '\0'; out++) {
		if (from[0] == '\\' && from[1] >= '0' && from[1] <= '7' && from[2] >= '0' &&
		    from[2] <= '7' && from[3] >= '0' && from[3] <= '7') {
			*out = static_cast<char>(
			    ((from[1] - '0') * OCTAL + (from[2] - '0')) * OCTAL + (from[3] - '0'));
			from += 4;
		} else {
			*out = *from++;
		}
	}
	*out = '\0';
}

/*
 * Whether the file at path, a loop device's backing file or what a mount
 * names as its source, is the card or is stored on it: a block device
 * through what it is built on, any other file through the file system
 * that holds it.
 */
static bool
file_on_card(int steps, const struct stat *card, const char *path)
{
	struct stat file;
	if (stat(path, &file) != 0) {
		return false;
	}
	if (same_file(card, &file)) {
		return true;
	}
	if (S_ISBLK(file.st_mode)) {
		return device_on_card(steps, card, file.st_rdev);
	}
	return path_on_card(steps, card, path);
}

/*
 * Whether the block device dev is the card or is stored on it, as sysfs
 * shows: a loop device in its backing file, a partition in its disk,
 * device-mapper and md in their members.  A device with none of these is
 * stored on nothing more.
 */
static bool
device_on_card(int steps, const struct stat *card, dev_t dev)
{
	if (S_ISBLK(card->st_mode) && dev == card->st_rdev) {
		return true;
	}
	if (steps == 0) {
		return false;
	}
	/* Room for the longest name of sysfs asked for here, whatever dev is. */
	constexpr size_t SYSFS_NAME_SIZE = 64;
	char name[SYSFS_NAME_SIZE];
	char path[PATH_MAX];
	(void)snprintf(name, sizeof(name), "/sys/dev/block/%u:%u/loop/backing_file", major(dev),
	               minor(dev));
	if (read_path(name, path)) {
		return file_on_card(steps - 1, card, path);
	}
	/* A partition's folder lies in its disk's, whose "dev" is the disk's. */
	(void)snprintf(name, sizeof(name), "/sys/dev/block/%u:%u/../dev", major(dev), minor(dev));
	dev_t disk = 0;
	if (read_device(name, &disk)) {
		return device_on_card(steps - 1, card, disk);
	}
	(void)snprintf(name, sizeof(name), "/sys/dev/block/%u:%u/slaves", major(dev), minor(dev));
	DIR *members = opendir(name);
	bool stored = false;
	for (struct dirent *member = nullptr;
	     !stored && members != nullptr && (member = readdir(members)) != nullptr;) {
		dev_t built_on = 0;
		(void)snprintf(path, sizeof(path), "%s/%s/dev", name, member->d_name);
		stored = member->d_name[0] != '.' && read_device(path, &built_on) &&
		         device_on_card(steps - 1, card, built_on);
	}
	if (members != nullptr) {
		(void)closedir(members);
	}
	return stored;
}

/*
 * Whether the mount numbered mount_id is stored on the card: an overlay
 * in its upper layer, where it writes; any other in the device, image or
 * folder that its source names, a path, where it names one.
 */
static bool
mount_on_card(int steps, const struct stat *card, uint64_t mount_id)
{
	char source[PATH_MAX];
	char options[PATH_MAX];
	FILE *mounts = fopen("/proc/self/mountinfo", "r");
	bool found = false;
	uint64_t each = 0;
	/*
	 * A line's ID, its parent's, the device, the root, the mount point,
	 * options and optional fields up to "-", then the type, the source
	 * and the file system's options.  The kernel writes the numbers, so
	 * a conversion can't go wrong unseen.
	 */
	// NOLINTBEGIN(cert-err34-c)
	while (!found && mounts != nullptr &&
	       fscanf(mounts, "%" SCNu64 " %*u %*s %*s %*s %*[^-]- %*s %4095s %4095s%*[^\n]", &each,
	              source, options) == 3) {
		found = each == mount_id;
	}
	// NOLINTEND(cert-err34-c)
	if (mounts != nullptr) {
		(void)fclose(mounts);
	}
	if (!found) {
		return false;
	}
	char *upper = strstr(options, ",upperdir=");
	if (upper != nullptr) {
		upper += strlen(",upperdir=");
		char *end = strchr(upper, ',');
		if (end != nullptr) {
			*end = '\0';
		}
		unescape(upper);
		return path_on_card(steps, card, upper);
	}
	unescape(source);
	return source[0] == '/' && file_on_card(steps, card, source);
}

/*
 * Whether the file system that holds path, whose statx is file, is
 * stored on the card.  One with a device of its own is followed from
 * that device; btrfs, FUSE and overlays, which have none, from what
 * their mount names; any other with none, as tmpfs, is stored on nothing.
 */
static bool
stored_on_card(int steps, const struct stat *card, const char *path, const struct statx *file)
{
	if (file->stx_dev_major != 0) {
		return device_on_card(steps, card,
		                      makedev(file->stx_dev_major, file->stx_dev_minor));
	}
	struct statfs system;
	if (statfs(path, &system) != 0) {
		return false;
	}
	auto type = static_cast<uint32_t>(system.f_type);
	if (type != BTRFS_SUPER_MAGIC && type != FUSE_SUPER_MAGIC &&
	    type != OVERLAYFS_SUPER_MAGIC) {
		return false;
	}
	return mount_on_card(steps, card, file->stx_mnt_id);
}

/* Whether the file system that holds path is stored on the card. */
static bool
path_on_card(int steps, const struct stat *card, const char *path)
{
	struct statx file;
	if (steps == 0 || statx(AT_FDCWD, path, 0, STATX_MNT_ID, &file) != 0) {
		return false;
	}
	return stored_on_card(steps - 1, card, path, &file);
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
	 * away, and a folder whose file system is stored on the card, where
	 * the new file would be written onto the card.
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
	struct statx here;
	if (statx(AT_FDCWD, ".", 0, STATX_MNT_ID, &here) != 0) {
		return no_log(nullptr, "Could not write tarnvel_log.txt.\n");
	}
	if (stored_on_card(CHAIN_STEPS, &card, ".", &here)) {
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
