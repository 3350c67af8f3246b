// SPDX-License-Identifier: ISC
// Runs the built program in a fresh folder per case and checks what it
// prints, on which stream, its exit status and the files it leaves.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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

Outcome
run_notes(const Scratch &s, const std::vector<std::string> &args = {})
{
	std::vector<std::string> words = {TARNVEL_NOTES};
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
		dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
		dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
		execv(argv[0], argv.data());
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
// first byte in decimal, whatever its top bit or the card's size.
TEST(Entry, LogsTheFirstByteUnsigned)
{
	struct {
		const char *name;
		std::string card;
		const char *line;
	} cases[] = {
	    {"zero", card(512, '\x00', '\xff'), "Buffer has: 0\n"},
	    {"x7f", card(512, '\x7f'), "Buffer has: 127\n"},
	    {"x80", card(512, '\x80'), "Buffer has: 128\n"},
	    {"xff", card(512, '\xff'), "Buffer has: 255\n"},
	    {"many blocks", card(8 * 512, '\x42', '\xff'), "Buffer has: 66\n"},
	    {"short", card(100, '\xc8'), "Buffer has: 200\n"},
	    {"one byte", card(1, '\xab'), "Buffer has: 171\n"},
	    {"empty", card(0, '\0'), "Buffer has: 0\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Scratch s;
		s.write("card.raw", c.card);
		Outcome r = run_notes(s);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(s.read("tarnvel_log.txt"), c.line);
	}
}

// Without a readable card the message goes to standard output, the
// status is 2, and no log is made or changed.
TEST(Entry, NoCard)
{
	for (bool card_is_dir : {false, true}) {
		for (bool log_before : {false, true}) {
			SCOPED_TRACE(testing::Message() << "card directory " << card_is_dir
			                                << ", earlier log " << log_before);
			Scratch s;
			if (card_is_dir)
				std::filesystem::create_directory(s.path("card.raw"));
			if (log_before)
				s.write("tarnvel_log.txt", "earlier\n");
			Outcome r = run_notes(s);
			EXPECT_EQ(r.status, 2);
			EXPECT_EQ(r.out, "Could not open card.raw.\n");
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(s.read("tarnvel_log.txt"),
			          log_before ? std::optional<std::string>("earlier\n")
			                     : std::nullopt);
		}
	}
}

TEST(Entry, LogFailures)
{
	struct {
		const char *name;
		void (*block_log)(const Scratch &);
		const char *err;
	} cases[] = {
	    {"log is a directory",
	     [](const Scratch &s) { std::filesystem::create_directory(s.path("tarnvel_log.txt")); },
	     "Could not create tarnvel_log.txt.\n"},
	    {"disk full",
	     [](const Scratch &s) {
		     std::filesystem::create_symlink("/dev/full", s.path("tarnvel_log.txt"));
	     },
	     "Could not write tarnvel_log.txt.\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Scratch s;
		s.write("card.raw", card(512, '\x01'));
		c.block_log(s);
		Outcome r = run_notes(s);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
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
