// SPDX-License-Identifier: ISC
// Runs the built program in a fresh folder per case and checks what it
// prints, on which stream, its exit status and the files it leaves.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scratch.h"

namespace
{

struct Outcome {
	int status;
	std::string out, err;
};

// An ordinary user for the runs that must not be root's.
constexpr uid_t NOBODY = 65534;

// Rows that change the host, attaching a loop device or making a device
// node, run only when asked, as root: TARNVEL_TEST_DEVICES=1.
bool
may_change_devices()
{
	const char *asked = getenv("TARNVEL_TEST_DEVICES");
	return getuid() == 0 && asked != nullptr && std::string(asked) == "1";
}

// A copy of the program that any user may run, wherever the build is.
const std::string &
public_program()
{
	static Scratch copy;
	static const std::string path = [] {
		std::string p = copy.path("tarnvel_notes");
		std::filesystem::copy_file(TARNVEL_NOTES, p);
		std::filesystem::permissions(
		    copy.dir,
		    std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
		        std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
		    std::filesystem::perm_options::add);
		return p;
	}();
	return path;
}

// Standard output for run_notes: a pipe whose reader has gone.
const char *const READERLESS = "a pipe whose reader has gone";

// Runs the program in the folder, under umask 022; as_user, a root
// caller's child runs it as NOBODY instead, in a folder that user owns.
// Standard output goes to out_to when given (a file, or READERLESS), and
// is not captured. The words of wrap, when given, run the program.
Outcome
run_notes(const Scratch &s, const std::vector<std::string> &args = {}, bool as_user = false,
          const char *out_to = nullptr, const std::vector<std::string> &wrap = {})
{
	bool drop = as_user && getuid() == 0;
	if (drop && chown(s.dir.c_str(), NOBODY, NOBODY) != 0)
		return {-1, "", "chown failed"};
	std::vector<std::string> words = wrap;
	words.push_back(as_user ? public_program() : TARNVEL_NOTES);
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);

	// Beside the folder, not in it, so the folder holds only what the program left.
	std::string out = s.dir.string() + ".out";
	std::string err = s.dir.string() + ".err";
	pid_t pid = fork();
	if (pid == 0) {
		if (chdir(s.dir.c_str()) != 0)
			_exit(126);
		int gone[2] = {-1, -1};
		if (out_to == READERLESS && (pipe(gone) != 0 || close(gone[0]) != 0))
			_exit(126);
		dup2(out_to == READERLESS
		         ? gone[1]
		         : open(out_to ? out_to : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
		     1);
		dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
		umask(022);
		if (drop &&
		    (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
			_exit(126);
		execvp(argv[0], argv.data());
		_exit(127);
	}
	int wstatus = 0;
	waitpid(pid, &wstatus, 0);
	return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, take(out), take(err)};
}

std::string
card(std::size_t size, char first, char rest = '\0')
{
	std::string bytes(size, rest);
	if (size > 0)
		bytes[0] = first;
	return bytes;
}

// Every successful run prints nothing and leaves the one log line, the
// first byte in decimal, whatever its top bit or the card's size, in a
// log whose mode is what the shell's > gives there: the umask's, or the
// folder's default ACL's, even where every chmod is refused. A row whose
// setup fails here is skipped.
TEST(Entry, LogsTheFirstByteUnsigned)
{
	struct {
		const char *name;
		std::string card;
		const char *line;
		bool linked = false; // card.raw a symbolic link to where the card is kept
		mode_t mask = 022;
		const char *setup = nullptr; // a command run in the folder first
		std::vector<std::string> wrap = {};
	} cases[] = {
	    {"zero", card(512, '\x00', '\xff'), "Buffer has: 0\n"},
	    {"x7f", card(512, '\x7f'), "Buffer has: 127\n"},
	    {"x80", card(512, '\x80'), "Buffer has: 128\n"},
	    {"xff", card(512, '\xff'), "Buffer has: 255\n"},
	    {"many blocks", card(8 * 512, '\x42', '\xff'), "Buffer has: 66\n"},
	    {"short", card(100, '\xc8'), "Buffer has: 200\n"},
	    {"one byte", card(1, '\xab'), "Buffer has: 171\n"},
	    {"empty", card(0, '\0'), "Buffer has: 0\n"},
	    {"linked", card(512, '\x5a'), "Buffer has: 90\n", true},
	    {"umask 002",
	     card(512, '\x03'),
	     "Buffer has: 3\n",
	     false,
	     002,
	     nullptr,
	     {"sh", "-c", "umask 002 && exec \"$0\""}},
	    // The card, and then the new file, may take descriptor 0.
	    {"standard input closed",
	     card(512, '\x04'),
	     "Buffer has: 4\n",
	     false,
	     022,
	     nullptr,
	     {"sh", "-c", "exec \"$0\" <&-"}},
	    {"a default ACL that others may not read", card(512, '\x05'), "Buffer has: 5\n", false,
	     022, "chmod 755 . && setfacl -d -m o::- . 2>/dev/null"},
	    {"every chmod refused",
	     card(512, '\x06'),
	     "Buffer has: 6\n",
	     false,
	     022,
	     "strace -o /dev/null true 2>/dev/null",
	     {"strace", "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
	      "inject=chmod,fchmod,fchmodat:error=EPERM"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Scratch s;
		std::string setup = "cd " + s.dir.string() + " && " + (c.setup ? c.setup : "true");
		if (std::system(setup.c_str()) != 0) {
			printf("[ SKIPPED  ] %s: can't be made here\n", c.name);
			continue;
		}
		s.write(c.linked ? "kept.raw" : "card.raw", c.card);
		if (c.linked)
			std::filesystem::create_symlink(s.path("kept.raw"), s.path("card.raw"));
		Outcome r = run_notes(s, {}, false, nullptr, c.wrap);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(s.read("tarnvel_log.txt"), c.line);
		// What the shell's > makes in that folder, under that umask.
		mode_t mask = umask(c.mask);
		int fd = open(s.path("by the shell").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
		umask(mask);
		struct stat made = {}, shell = {};
		EXPECT_EQ(stat(s.path("tarnvel_log.txt").c_str(), &made), 0);
		EXPECT_EQ(fstat(fd, &shell), 0);
		close(fd);
		EXPECT_EQ(made.st_mode & 07777, shell.st_mode & 07777);
	}
}

// Without a readable card the message goes to standard output, or when
// that is full, or a pipe whose reader has gone, a line to standard error
// says so; the status is 2, and no log is made or changed.
TEST(Entry, NoCard)
{
	for (bool card_is_dir : {false, true}) {
		for (bool log_before : {false, true}) {
			for (const char *out_to :
			     {static_cast<const char *>(nullptr), "/dev/full", READERLESS}) {
				bool lost = out_to != nullptr; // the line can't be written there
				SCOPED_TRACE(testing::Message()
				             << "card directory " << card_is_dir << ", earlier log "
				             << log_before << ", standard output "
				             << (lost ? out_to : "a file"));
				Scratch s;
				if (card_is_dir)
					std::filesystem::create_directory(s.path("card.raw"));
				if (log_before)
					s.write("tarnvel_log.txt", "earlier\n");
				Outcome r = run_notes(s, {}, false, out_to);
				EXPECT_EQ(r.status, 2);
				EXPECT_EQ(r.out, lost ? "" : "Could not open card.raw.\n");
				EXPECT_EQ(r.err, lost ? "Could not write standard output.\n" : "");
				EXPECT_EQ(s.read("tarnvel_log.txt"),
				          log_before ? std::optional<std::string>("earlier\n")
				                     : std::nullopt);
			}
		}
	}
}

// A child that does f in the background, for a test to reap later.
template <typename F>
void
in_background(F f)
{
	fflush(nullptr);
	if (fork() == 0)
		_exit(f() ? 0 : 1);
}

// The devices that attach gave, which each row detaches when it ends.
std::vector<std::string> attached;

// A loop device over the file, a device too, from the byte at offset,
// when the host may be changed, or "".
std::string
attach(const std::string &file, long offset = 0)
{
	std::string attach =
	    "losetup -f --show -o " + std::to_string(offset) + " " + file + " 2>/dev/null";
	FILE *said = may_change_devices() ? popen(attach.c_str(), "r") : nullptr;
	char device[64] = "";
	if (said == nullptr || fscanf(said, "%63s", device) != 1 || pclose(said) != 0)
		return "";
	attached.push_back(device);
	return device;
}

// The partitions that partition added, "DEVICE N", which each row
// removes when it ends, before its devices are detached.
std::vector<std::string> partitions;

// Partition n of the device, from sector start for sectors, made with
// addpart as a kernel finds one in a partition table; its node, or "".
std::string
partition(const std::string &device, int n, long start, long sectors)
{
	std::string number = std::to_string(n);
	std::string add = "addpart " + device + " " + number + " " + std::to_string(start) + " " +
	                  std::to_string(sectors) + " 2>/dev/null";
	if (device.empty() || std::system(add.c_str()) != 0)
		return "";
	partitions.push_back(device + " " + number);
	// The kernel makes the node a moment later.
	std::string node = device + "p" + number;
	for (int tries = 0; tries < 100 && !std::filesystem::exists(node); tries++)
		usleep(10000);
	return std::filesystem::exists(node) ? node : "";
}

// A new file system of type on what, a device or an image, mounted at
// where; false when it can't be made here. What mounting writes is on
// the disk before a row reads the card, and reading it writes nothing.
bool
mount_new(const std::string &what, const std::string &type, const std::string &where)
{
	std::string make =
	    "mkfs." + type + (type == "btrfs" ? " -f" : "") + " -q " + what + " >/dev/null 2>&1";
	if (what.empty() || std::system(make.c_str()) != 0 ||
	    mount(what.c_str(), where.c_str(), type.c_str(), MS_NOATIME, nullptr) != 0)
		return false;
	sync();
	return true;
}

// A row's undoing of its mount over the folder.
void
unmount(const Scratch &s)
{
	umount2(s.dir.c_str(), MNT_DETACH);
}

// What a row may keep beside its folder, out of reach of a mount over
// it: an image, and a card's file system, which go with the row.
const char *const BESIDE[] = {".img", " card"};

// A card of size bytes, its first block card(512, '\x01') from offset on,
// as an image beside the folder when beside, in it otherwise; its path.
std::string
disk(const Scratch &s, std::uintmax_t size, std::size_t offset = 0, bool beside = false)
{
	std::string path = beside ? s.dir.string() + BESIDE[0] : s.path("disk");
	std::ofstream(path, std::ios::binary) << std::string(offset, '\0') + card(512, '\x01');
	std::filesystem::resize_file(path, size);
	return path;
}

// Mounts of the test's own, in a mount namespace of its own, as root.
bool
own_mounts()
{
	static bool own = getuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
	                  mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0;
	return own;
}

bool
strace_works()
{
	static bool works = std::system("strace -o /dev/null true >/dev/null 2>&1") == 0;
	return works;
}

// Another case's card, beside this one.
void
another_case(const Scratch &s)
{
	std::filesystem::create_directory(s.path("B"));
	s.write("B/card.raw", card(512, '\x02'));
}

// The card's only name is the log's; card.raw links to it.
bool
card_only_at_log(const Scratch &s)
{
	std::filesystem::rename(s.path("card.raw"), s.path("tarnvel_log.txt"));
	std::filesystem::create_symlink("tarnvel_log.txt", s.path("card.raw"));
	return true;
}

// strace's words that run the program with one call failing: the first
// call of one of syscalls (a comma-separated list, as C libraries differ
// in which they make) whose traced line names marker, counted in a run
// of its own beside an old log. LeakSanitizer can't run under a tracer.
std::vector<std::string>
failing(const std::string &syscalls, const std::string &marker, const std::string &error)
{
	if (!strace_works())
		return {};
	Scratch dry;
	dry.write("card.raw", card(512, '\x01'));
	dry.write("tarnvel_log.txt", "earlier\n");
	std::string trace = dry.dir.string() + ".trace";
	std::vector<std::string> words = {
	    "strace", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", "trace=" + syscalls};
	std::vector<std::string> dry_words = words;
	dry_words.insert(dry_words.end(), {"-y", "-o", trace});
	run_notes(dry, {}, false, nullptr, dry_words);
	std::string lines = take(trace);
	std::map<std::string, int> made;
	for (std::size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
		std::string line = lines.substr(at, lines.find('\n', at) - at);
		std::string call = line.substr(0, line.find('('));
		if (("," + syscalls + ",").find("," + call + ",") == std::string::npos)
			continue;
		made[call]++;
		if (line.find(marker) != std::string::npos) {
			words.insert(words.end(), {"-o", "/dev/null", "-e",
			                           "inject=" + call + ":error=" + error +
			                               ":when=" + std::to_string(made[call])});
			return words;
		}
	}
	ADD_FAILURE() << "no call of " << syscalls << " names " << marker;
	return {};
}

// What stands at the log's name is replaced by a new file, never written
// through: an old log, a link to another file or another case's card, a
// pipe or a device. A name that is the card, or a folder on the card's
// device, is refused; a run that fails leaves the old log whole and
// nothing else behind; the card is never changed. Rows that need what
// this machine can't give (strace, root, a loop device, a mount
// namespace) are skipped, and so are rows that change the host unless
// asked for.
TEST(Entry, WhatStandsAtTheLog)
{
	namespace fs = std::filesystem;
	const char *is_card = "Could not write tarnvel_log.txt: it is card.raw.\n";
	const char *not_created = "Could not create tarnvel_log.txt.\n";
	const char *not_written = "Could not write tarnvel_log.txt.\n";
	const char *on_card = "Could not write tarnvel_log.txt: it is on card.raw.\n";
	auto traced_old_log = [](const Scratch &s) {
		s.write("tarnvel_log.txt", "earlier\n");
		return strace_works();
	};
	struct {
		const char *name;
		bool (*place)(const Scratch &); // false: can't be made here
		int status;                     // 0: the log holds the line
		const char *err;
		const char *kept; // a file the run leaves as it was
		std::vector<std::string> wrap = {};
		void (*undo)(const Scratch &) = nullptr;
	} cases[] = {
	    {"a directory",
	     [](const Scratch &s) { return fs::create_directory(s.path("tarnvel_log.txt")); }, 1,
	     not_created, nullptr},
	    {"a symbolic link to /dev/full",
	     [](const Scratch &s) {
		     fs::create_symlink("/dev/full", s.path("tarnvel_log.txt"));
		     return true;
	     },
	     0, "", nullptr},
	    {"a hard link to the card",
	     [](const Scratch &s) {
		     fs::create_hard_link(s.path("card.raw"), s.path("tarnvel_log.txt"));
		     return true;
	     },
	     1, is_card, nullptr},
	    {"a symbolic link to the card",
	     [](const Scratch &s) {
		     fs::create_symlink("card.raw", s.path("tarnvel_log.txt"));
		     return true;
	     },
	     1, is_card, nullptr},
	    {"the card's only name, card.raw a link to it", card_only_at_log, 1, is_card,
	     "tarnvel_log.txt"},
	    {"a symbolic link that leads nowhere",
	     [](const Scratch &s) {
		     fs::create_symlink("gone/log", s.path("tarnvel_log.txt"));
		     return true;
	     },
	     0, "", nullptr},
	    {"a symbolic link to itself",
	     [](const Scratch &s) {
		     fs::create_symlink("tarnvel_log.txt", s.path("tarnvel_log.txt"));
		     return true;
	     },
	     0, "", nullptr},
	    {"a hard link to another case's card",
	     [](const Scratch &s) {
		     another_case(s);
		     fs::create_hard_link(s.path("B/card.raw"), s.path("tarnvel_log.txt"));
		     return true;
	     },
	     0, "", "B/card.raw"},
	    {"a symbolic link to another case's card",
	     [](const Scratch &s) {
		     another_case(s);
		     fs::create_symlink("B/card.raw", s.path("tarnvel_log.txt"));
		     return true;
	     },
	     0, "", "B/card.raw"},
	    {"an old log with a second name",
	     [](const Scratch &s) {
		     s.write("tarnvel_log.txt", "earlier\n");
		     fs::create_hard_link(s.path("tarnvel_log.txt"), s.path("second.txt"));
		     return true;
	     },
	     0, "", "second.txt"},
	    {"an old log longer than the line",
	     [](const Scratch &s) {
		     s.write("tarnvel_log.txt",
		             "an earlier line, longer than the new one\nand more\n");
		     return true;
	     },
	     0, "", nullptr},
	    {"a symbolic link to /dev/null",
	     [](const Scratch &s) {
		     fs::create_symlink("/dev/null", s.path("tarnvel_log.txt"));
		     return true;
	     },
	     0, "", nullptr},
	    {"a named pipe nobody reads",
	     [](const Scratch &s) { return mkfifo(s.path("tarnvel_log.txt").c_str(), 0644) == 0; },
	     0, "", nullptr},
	    {"a named pipe with a reader",
	     [](const Scratch &s) {
		     static std::string to;
		     static int in;
		     to = s.path("other.txt");
		     s.write("other.txt", "earlier\n");
		     if (mkfifo(s.path("tarnvel_log.txt").c_str(), 0644) != 0 ||
		         (in = open(s.path("tarnvel_log.txt").c_str(), O_RDONLY | O_NONBLOCK)) < 0)
			     return false;
		     // Open before the run, it waits a while for a writer and
		     // keeps what it gets.
		     in_background([] {
			     struct pollfd ready = {in, POLLIN, 0};
			     char got[64];
			     ssize_t n = poll(&ready, 1, 300) > 0 ? read(in, got, sizeof(got)) : 0;
			     int out = open(to.c_str(), O_WRONLY | O_APPEND);
			     return n <= 0 || write(out, got, static_cast<std::size_t>(n)) == n;
		     });
		     return close(in) == 0;
	     },
	     0, "", "other.txt"},
	    {"an old log swapped for a hard link to the card before the rename",
	     [](const Scratch &s) {
		     static std::string dir;
		     dir = s.dir.string();
		     s.write("tarnvel_log.txt", "earlier\n");
		     if (!strace_works())
			     return false;
		     in_background([] {
			     usleep(500000);
			     return chdir(dir.c_str()) == 0 && link("card.raw", "swap") == 0 &&
			            rename("swap", "tarnvel_log.txt") == 0;
		     });
		     return true;
	     },
	     0,
	     "",
	     nullptr,
	     // The rename held for a second, so a swap half a second in
	     // comes after every check of the name.
	     {"strace", "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
	      "inject=rename:delay_enter=1000000"}},
	    {"the new file can't be created", traced_old_log, 1, not_created, "tarnvel_log.txt",
	     failing("openat", ".tarnvel_log.txt.", "EACCES")},
	    {"a name for the new file that is taken", traced_old_log, 0, "", nullptr,
	     failing("openat", ".tarnvel_log.txt.", "EEXIST")},
	    {"the line can't be written", traced_old_log, 1, not_written, "tarnvel_log.txt",
	     failing("write", ".tarnvel_log.txt.", "ENOSPC")},
	    {"the line can't be put on the disk", traced_old_log, 1, not_written, "tarnvel_log.txt",
	     failing("fsync", ".tarnvel_log.txt.", "EIO")},
	    {"the new file can't be closed", traced_old_log, 1, not_written, "tarnvel_log.txt",
	     failing("close", ".tarnvel_log.txt.", "EIO")},
	    {"the new file can't be renamed", traced_old_log, 1, not_created, "tarnvel_log.txt",
	     failing("rename", ".tarnvel_log.txt.", "EXDEV")},
	    {"the card can't be examined", traced_old_log, 1, not_written, "tarnvel_log.txt",
	     failing("fstat,newfstatat", "card.raw>", "EIO")},
	    {"the log's name, the card's only name, can't be examined",
	     [](const Scratch &s) { return card_only_at_log(s) && strace_works(); }, 1, not_written,
	     "tarnvel_log.txt", failing("stat,newfstatat,statx", "\"tarnvel_log.txt\"", "EIO")},
	    {"the folder can't be examined", traced_old_log, 1, not_written, "tarnvel_log.txt",
	     failing("stat,newfstatat,statx", "\".\"", "EIO")},
	    {"a file size limit",
	     [](const Scratch &s) {
		     s.write("tarnvel_log.txt", "earlier\n");
		     return std::system("prlimit --fsize=5 true 2>/dev/null") == 0;
	     },
	     1,
	     not_written,
	     "tarnvel_log.txt",
	     // Standard error through a pipe, which no file size limit holds;
	     // bash in the C locale, which it never warns that it lacks.
	     {"env", "LC_ALL=C", "bash", "-c",
	      "prlimit --fsize=5 \"$0\" 2>&1 | cat >&2; exit ${PIPESTATUS[0]}"}},
	    {"a full disk",
	     [](const Scratch &s) {
		     // Two pages: the card and the old log fill them.
		     if (!own_mounts() ||
		         mount("tmpfs", s.dir.c_str(), "tmpfs", 0, "size=8k,mode=755") != 0)
			     return false;
		     s.write("card.raw", card(512, '\x01'));
		     s.write("tarnvel_log.txt", "earlier\n");
		     return true;
	     },
	     1,
	     not_written,
	     "tarnvel_log.txt",
	     {},
	     unmount},
	    {"a file on another file system with the card's inode number",
	     [](const Scratch &s) {
		     // Fresh tmpfs mounts number their first files alike.
		     struct stat a = {}, b = {};
		     for (const char *d : {"a", "b"})
			     if (!own_mounts() || !fs::create_directory(s.path(d)) ||
			         mount("tmpfs", s.path(d).c_str(), "tmpfs", 0, "size=64k") != 0)
				     return false;
		     s.write("a/card.raw", card(512, '\x01'));
		     s.write("b/log", "earlier\n");
		     fs::remove(s.path("card.raw"));
		     fs::create_symlink("a/card.raw", s.path("card.raw"));
		     fs::create_symlink("b/log", s.path("tarnvel_log.txt"));
		     return stat(s.path("a/card.raw").c_str(), &a) == 0 &&
		            stat(s.path("b/log").c_str(), &b) == 0 && a.st_ino == b.st_ino &&
		            a.st_dev != b.st_dev;
	     },
	     0,
	     "",
	     "b/log",
	     {},
	     [](const Scratch &s) {
		     for (const char *d : {"a", "b"})
			     umount2(s.path(d).c_str(), MNT_DETACH);
	     }},
	    {"a second node of the card's device",
	     [](const Scratch &s) {
		     struct stat node = {};
		     std::string device = attach(s.path("card.raw"));
		     if (device.empty() || stat(device.c_str(), &node) != 0 ||
		         mknod(s.path("tarnvel_log.txt").c_str(), S_IFBLK | 0600, node.st_rdev) !=
		             0)
			     return false;
		     fs::remove(s.path("card.raw"));
		     fs::create_symlink(device, s.path("card.raw"));
		     return true;
	     },
	     1, is_card, nullptr},
	    {"a node of another device than the card's",
	     [](const Scratch &s) {
		     struct stat node = {};
		     s.write("other", card(512, '\x02'));
		     std::string card_device = attach(s.path("card.raw"));
		     std::string other = attach(s.path("other"));
		     if (card_device.empty() || other.empty() || stat(other.c_str(), &node) != 0 ||
		         mknod(s.path("tarnvel_log.txt").c_str(), S_IFBLK | 0600, node.st_rdev) !=
		             0)
			     return false;
		     fs::remove(s.path("card.raw"));
		     fs::create_symlink(card_device, s.path("card.raw"));
		     fs::create_symlink(other, s.path("other device"));
		     return true;
	     },
	     0, "", "other device"},
	    {"a second node of the card's character device",
	     [](const Scratch &s) {
		     struct stat node = {};
		     fs::remove(s.path("card.raw"));
		     fs::create_symlink("/dev/null", s.path("card.raw"));
		     return may_change_devices() && stat("/dev/null", &node) == 0 &&
		            mknod(s.path("tarnvel_log.txt").c_str(), S_IFCHR | 0600,
		                  node.st_rdev) == 0;
	     },
	     1, is_card, nullptr},
	    {"a character node at the log's name with a block card's numbers",
	     [](const Scratch &s) {
		     struct stat node = {};
		     std::string device = attach(s.path("card.raw"));
		     if (device.empty() || stat(device.c_str(), &node) != 0 ||
		         mknod(s.path("tarnvel_log.txt").c_str(), S_IFCHR | 0600, node.st_rdev) !=
		             0)
			     return false;
		     fs::remove(s.path("card.raw"));
		     fs::create_symlink(device, s.path("card.raw"));
		     return true;
	     },
	     0, "", nullptr},
	    {"a folder on the card's device",
	     [](const Scratch &s) {
		     std::string device = own_mounts() ? attach(disk(s, 1 << 20)) : "";
		     if (!mount_new(device, "ext2", s.dir))
			     return false;
		     fs::create_symlink(device, s.path("card.raw"));
		     return true;
	     },
	     1,
	     on_card,
	     nullptr,
	     {},
	     unmount},
	    // The folder's file system stored on the card, as the kernel shows:
	    // refused, and the card keeps every byte.
	    {"a partition of the card's device",
	     [](const Scratch &s) {
		     std::string device = own_mounts() ? attach(disk(s, 8 << 20)) : "";
		     if (!mount_new(partition(device, 1, 2048, 8192), "ext2", s.dir))
			     return false;
		     fs::create_symlink(device, s.path("card.raw"));
		     return true;
	     },
	     1,
	     on_card,
	     nullptr,
	     {},
	     unmount},
	    {"a loop device over the card's device, from an offset",
	     [](const Scratch &s) {
		     std::string device = own_mounts() ? attach(disk(s, 8 << 20)) : "";
		     if (device.empty() || !mount_new(attach(device, 1 << 20), "ext2", s.dir))
			     return false;
		     fs::create_symlink(device, s.path("card.raw"));
		     return true;
	     },
	     1,
	     on_card,
	     nullptr,
	     {},
	     unmount},
	    {"a btrfs subvolume on the card's device",
	     [](const Scratch &s) {
		     std::string device = own_mounts() ? attach(disk(s, 128 << 20)) : "";
		     std::string sub = "btrfs -q subvolume create " + s.path("sub") + " >/dev/null";
		     if (!mount_new(device, "btrfs", s.dir) || std::system(sub.c_str()) != 0 ||
		         umount2(s.dir.c_str(), 0) != 0 ||
		         mount(device.c_str(), s.dir.c_str(), "btrfs", MS_NOATIME, "subvol=sub") !=
		             0)
			     return false;
		     fs::create_symlink(device, s.path("card.raw"));
		     sync();
		     return true;
	     },
	     1,
	     on_card,
	     nullptr,
	     {},
	     unmount},
	    {"FUSE's ext2 on the card's device",
	     [](const Scratch &s) {
		     std::string device = own_mounts() ? attach(disk(s, 8 << 20)) : "";
		     std::string make = "mkfs.ext2 -q " + device +
		                        " >/dev/null 2>&1 && fuse2fs -o nonempty " + device + " " +
		                        s.dir.string() + " >/dev/null 2>&1";
		     // fuse2fs may fail to mount and still exit 0.
		     if (device.empty() || std::system(make.c_str()) != 0 ||
		         !fs::exists(s.path("lost+found")))
			     return false;
		     fs::create_symlink(device, s.path("card.raw"));
		     sync();
		     return true;
	     },
	     1,
	     on_card,
	     nullptr,
	     {},
	     unmount},
	    {"an overlay whose upper layer is on the card's device",
	     [](const Scratch &s) {
		     // The card's file system beside the folder, as the layers of
		     // an overlay mounted over their own folder can't be reached;
		     // its name has a space, which mountinfo escapes.
		     std::string beside = s.dir.string() + BESIDE[1];
		     std::string device = own_mounts() ? attach(disk(s, 8 << 20)) : "";
		     fs::create_directory(s.path("lower"));
		     fs::create_directory(beside);
		     if (!mount_new(device, "ext2", beside))
			     return false;
		     fs::create_directory(beside + "/upper");
		     fs::create_directory(beside + "/work");
		     std::string layers = "lowerdir=" + s.path("lower") + ",upperdir=" + beside +
		                          "/upper,workdir=" + beside + "/work";
		     if (mount("overlay", s.dir.c_str(), "overlay", MS_NOATIME, layers.c_str()) !=
		         0)
			     return false;
		     fs::create_symlink(device, s.path("card.raw"));
		     sync();
		     return true;
	     },
	     1,
	     on_card,
	     nullptr,
	     {},
	     unmount},
	    {"a file system mounted from the card's image",
	     [](const Scratch &s) {
		     std::string image = disk(s, 8 << 20, 0, true);
		     if (!own_mounts() || !mount_new(attach(image), "ext2", s.dir))
			     return false;
		     fs::create_symlink(image, s.path("card.raw"));
		     return true;
	     },
	     1,
	     on_card,
	     nullptr,
	     {},
	     unmount},
	    // A disk shared with the card, but none of its bytes: not refused.
	    {"the card on one partition, the folder on another",
	     [](const Scratch &s) {
		     std::string device = own_mounts() ? attach(disk(s, 16 << 20, 1 << 20)) : "";
		     std::string card_partition = partition(device, 1, 2048, 8192);
		     if (card_partition.empty() ||
		         !mount_new(partition(device, 2, 10240, 20480), "ext2", s.dir))
			     return false;
		     fs::create_symlink(card_partition, s.path("card.raw"));
		     return true;
	     },
	     0,
	     "",
	     nullptr,
	     {},
	     unmount},
	    {"a card image, the folder on another image's file system",
	     [](const Scratch &s) {
		     if (!own_mounts() ||
		         !mount_new(attach(disk(s, 8 << 20, 0, true)), "ext2", s.dir))
			     return false;
		     s.write("card.raw", card(512, '\x01'));
		     return true;
	     },
	     0,
	     "",
	     nullptr,
	     {},
	     unmount},
	    {"a crash right after a run",
	     [](const Scratch &s) {
		     // The smallest XFS that mkfs.xfs makes, sparse.
		     std::string device = own_mounts() ? attach(disk(s, 300 << 20)) : "";
		     if (!mount_new(device, "xfs", s.dir))
			     return false;
		     s.write("card.raw", card(512, '\x01'));
		     s.write("tarnvel_log.txt", "earlier\n");
		     sync();
		     return true;
	     },
	     0,
	     "",
	     nullptr,
	     // The file system stops as at a power cut, its journal written,
	     // and is mounted again.
	     {"sh", "-c",
	      "\"$0\" && xfs_io -x -c 'shutdown -f' . && d=$(findmnt -no SOURCE -T .) && cd .. && "
	      "umount \"$OLDPWD\" && mount \"$d\" \"$OLDPWD\""},
	     unmount},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Scratch s;
		s.write("card.raw", card(512, '\x01'));
		bool placed = c.place(s);
		if (placed) {
			auto card_was = s.read("card.raw");
			auto kept_was = c.kept ? s.read(c.kept) : std::nullopt;
			std::set<std::string> names, names_was;
			for (const auto &e : fs::directory_iterator(s.dir))
				names_was.insert(e.path().filename());
			Outcome r = run_notes(s, {}, false, nullptr, c.wrap);
			// Whatever the row started in the background has ended.
			while (wait(nullptr) > 0) {
			}
			// strace's own lines, first, are not the program's.
			while (r.err.find("strace: ") < r.err.find('\n'))
				r.err.erase(0, r.err.find('\n') + 1);
			EXPECT_EQ(r.status, c.status);
			EXPECT_EQ(r.out, "");
			EXPECT_EQ(r.err, c.err);
			// Compared whole, as a card may be a device of megabytes.
			EXPECT_TRUE(s.read("card.raw") == card_was) << "the card changed";
			if (c.kept) {
				EXPECT_EQ(s.read(c.kept), kept_was);
			}
			// A new log, or nothing new at all.
			for (const auto &e : fs::directory_iterator(s.dir))
				names.insert(e.path().filename());
			if (c.status == 0) {
				names_was.insert("tarnvel_log.txt");
				struct stat made = {};
				EXPECT_EQ(lstat(s.path("tarnvel_log.txt").c_str(), &made), 0);
				EXPECT_EQ(made.st_mode, S_IFREG | 0644u);
				EXPECT_EQ(s.read("tarnvel_log.txt"), "Buffer has: 1\n");
			}
			EXPECT_EQ(names, names_was);
			if (c.undo)
				c.undo(s);
		} else {
			printf("[ SKIPPED  ] %s: can't be made here\n", c.name);
		}
		for (const char *beside : BESIDE) {
			umount2((s.dir.string() + beside).c_str(), MNT_DETACH);
			fs::remove_all(s.dir.string() + beside);
		}
		// Devices outlive a row: each partition it added is removed, and
		// each device it attached detached.
		for (const auto &numbered : partitions)
			EXPECT_EQ(std::system(("delpart " + numbered).c_str()), 0);
		partitions.clear();
		for (const auto &device : attached)
			EXPECT_EQ(std::system(("losetup -d " + device).c_str()), 0);
		attached.clear();
	}
}

// Writes bytes into a named pipe from another process: the first part,
// then, once a reader has taken it, the rest. With hold the writer keeps
// the pipe open afterwards, so its reader sees no end of input.
pid_t
feed(const std::string &fifo, const std::string &bytes, std::size_t first, bool hold)
{
	// The writer does not exec: leave it nothing of ours to print twice.
	fflush(nullptr);
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	int fd = open(fifo.c_str(), O_WRONLY);
	bool ok = fd >= 0 && write(fd, bytes.data(), first) == static_cast<ssize_t>(first);
	for (int queued = 1; ok && first < bytes.size() && queued > 0; usleep(1000))
		ok = ioctl(fd, FIONREAD, &queued) == 0;
	std::size_t rest = bytes.size() - first;
	ok = ok && write(fd, bytes.data() + first, rest) == static_cast<ssize_t>(rest);
	if (ok && hold)
		pause();
	_exit(ok ? 0 : 1);
}

// A card that is a pipe gives up its first block and nothing past it,
// however the block arrives; a pipe that ends early logs what it had.
TEST(Entry, PipedCardKeepsWhatFollowsTheFirstBlock)
{
	struct {
		const char *name;
		std::size_t size, first;
		bool hold;
	} cases[] = {
	    {"8192 bytes", 8192, 8192, true},
	    {"3 bytes, then the end", 3, 3, false},
	    {"100 bytes, a pause, then the rest", 1024, 100, true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::string sent(c.size, '\0');
		for (std::size_t i = 0; i < sent.size(); i++)
			sent[i] = static_cast<char>(0xc3 + i * 7);
		Scratch s;
		ASSERT_EQ(mkfifo(s.path("card.raw").c_str(), 0600), 0);
		pid_t writer = feed(s.path("card.raw"), sent, c.first, c.hold);
		Outcome r = run_notes(s);

		std::string left;
		int fd = open(s.path("card.raw").c_str(), O_RDONLY | O_NONBLOCK);
		char chunk[4096];
		for (ssize_t n; (n = read(fd, chunk, sizeof(chunk))) > 0;)
			left.append(chunk, static_cast<std::size_t>(n));
		close(fd);
		kill(writer, SIGKILL);
		waitpid(writer, nullptr, 0);

		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out + r.err, "");
		EXPECT_EQ(s.read("tarnvel_log.txt"), "Buffer has: 195\n");
		std::string kept = sent.substr(std::min<std::size_t>(512, c.size));
		EXPECT_EQ(left.size(), kept.size());
		EXPECT_TRUE(left == kept) << "the bytes after the first block differ";
	}
}

// Run as an ordinary user: a card it may only read is read, one it may
// not read at all is no card.
TEST(Entry, CardPermissions)
{
	struct {
		std::filesystem::perms mode;
		int status;
		const char *out;
		std::optional<std::string> log;
	} cases[] = {
	    {std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
	         std::filesystem::perms::others_read,
	     0, "", "Buffer has: 9\n"},
	    {std::filesystem::perms::none, 2, "Could not open card.raw.\n", std::nullopt},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.status);
		Scratch s;
		s.write("card.raw", card(512, '\x09'));
		std::filesystem::permissions(s.path("card.raw"), c.mode);
		Outcome r = run_notes(s, {}, true);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(s.read("tarnvel_log.txt"), c.log);
	}
}

TEST(Entry, EachRunTruncatesTheLog)
{
	Scratch s;
	s.write("card.raw", card(512, '\x07'));
	s.write("tarnvel_log.txt", "an earlier line\nand another\n");
	EXPECT_EQ(run_notes(s).status, 0);
	EXPECT_EQ(run_notes(s).status, 0);
	EXPECT_EQ(s.read("tarnvel_log.txt"), "Buffer has: 7\n");
}

TEST(Entry, ArgumentsChangeNothing)
{
	const std::vector<std::vector<std::string>> argsets = {
	    {"-h"}, {"--version"}, {"other.raw", "tarnvel_log.txt"}, {"", "two words", "%s%n"}};
	for (const auto &args : argsets) {
		SCOPED_TRACE(args[0]);
		Scratch s;
		Outcome none = run_notes(s, args);
		EXPECT_EQ(none.status, 2);
		EXPECT_EQ(none.out, "Could not open card.raw.\n");

		s.write("card.raw", card(512, '\xfe'));
		Outcome r = run_notes(s, args);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out + r.err, "");
		EXPECT_EQ(s.read("tarnvel_log.txt"), "Buffer has: 254\n");
	}
}

} // namespace
