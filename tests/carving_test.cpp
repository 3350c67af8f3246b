// SPDX-License-Identifier: ISC
// The carving operations, called in a fresh working folder per case,
// with standard output and standard error captured.

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "scratch.h"
#include "tarnvel_notes.h"

namespace
{

namespace fs = std::filesystem;

struct Said {
	std::string out, err;
};

class Carving : public testing::Test
{
protected:
	void SetUp() override
	{
		home = fs::current_path();
		fs::current_path(s.dir);
	}
	void TearDown() override { fs::current_path(home); }

	// What f printed on each stream; with merged, both go to one file
	// and all of it comes back in out.
	Said capture(const std::function<void()> &f, bool merged = false)
	{
		std::string out = s.dir.string() + ".out", err = s.dir.string() + ".err";
		fflush(stdout);
		fflush(stderr);
		int saved_out = dup(1), saved_err = dup(2);
		int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int e = merged ? dup(o) : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		dup2(o, 1);
		dup2(e, 2);
		close(o);
		close(e);
		f();
		fflush(stdout);
		fflush(stderr);
		dup2(saved_out, 1);
		dup2(saved_err, 2);
		close(saved_out);
		close(saved_err);
		return {take(out), take(err)};
	}

	// How many names the working folder holds.
	long entries() const { return std::distance(fs::directory_iterator(s.dir), {}); }

	Scratch s;
	fs::path home;
};

int
open_fds()
{
	return static_cast<int>(
	    std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

std::string
block(BYTE seed)
{
	std::string b(512, '\0');
	for (std::size_t i = 0; i < b.size(); i++)
		b[i] = static_cast<char>(seed + i * 7);
	return b;
}

BYTE *
bytes(std::string &b)
{
	return reinterpret_cast<BYTE *>(b.data());
}

TEST_F(Carving, SignatureAcceptsEveryBlock)
{
	for (char fill : {'\x00', '\xff'}) {
		std::string b(512, fill);
		EXPECT_EQ(check_signature(bytes(b)), 1);
	}
}

// One number gives one name, a comma before jpg, for both operations.
TEST_F(Carving, NamesFitAnyNumber)
{
	struct {
		int n;
		const char *name;
	} cases[] = {{7, "7,jpg"},
	             {0, "0,jpg"},
	             {-3, "-3,jpg"},
	             {INT_MAX, "2147483647,jpg"},
	             {INT_MIN, "-2147483648,jpg"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::string n = std::to_string(c.n), b = block(1);
		FILE *img = nullptr;
		Said made = capture([&] { img = make_jpg(c.n); });
		EXPECT_EQ(made.out, "Make jpg number " + n + ": " + c.name + " \n");
		EXPECT_EQ(made.err, "");
		ASSERT_NE(img, nullptr);
		EXPECT_EQ(fclose(img), 0);

		Said appended = capture([&] { append_jpg(c.n, bytes(b)); });
		EXPECT_EQ(appended.out, "Append to jpg number: " + n + " \n");
		EXPECT_EQ(appended.err, "");
		EXPECT_EQ(entries(), 1);
		EXPECT_EQ(s.read(c.name), b);
		fs::remove(s.path(c.name));
	}
}

TEST_F(Carving, MakeTruncatesAnExistingImage)
{
	s.write("7,jpg", "an earlier image");
	FILE *img = nullptr;
	capture([&] { img = make_jpg(7); });
	ASSERT_NE(img, nullptr);
	EXPECT_EQ(ftell(img), 0);
	EXPECT_EQ(s.read("7,jpg"), "");
	fputs("new", img);
	EXPECT_EQ(fclose(img), 0);
	EXPECT_EQ(s.read("7,jpg"), "new");
}

// Blocks land whole, in order, after what is there; no stream stays open.
TEST_F(Carving, AppendAddsBlocksAtTheEnd)
{
	std::string a = block(3), b = block(200);
	int fds = open_fds();
	capture([&] {
		append_jpg(1, bytes(a));
		append_jpg(1, bytes(b));
	});
	EXPECT_EQ(s.read("1,jpg"), a + b);

	FILE *img = nullptr;
	capture([&] { img = make_jpg(2); });
	ASSERT_NE(img, nullptr);
	fputs("header", img);
	EXPECT_EQ(fclose(img), 0);
	capture([&] { append_jpg(2, bytes(a)); });
	EXPECT_EQ(s.read("2,jpg"), "header" + a);

	Said said = capture([&] { append_jpg(2, nullptr); });
	EXPECT_EQ(said.out, "Append to jpg number: 2 \n");
	EXPECT_EQ(said.err, "");
	EXPECT_EQ(s.read("2,jpg"), "header" + a);
	capture([&] { append_jpg(4, nullptr); });
	EXPECT_EQ(s.read("4,jpg"), "");
	EXPECT_EQ(open_fds(), fds);
}

// A failure line follows its progress line, on standard error, even when
// both streams go to one file; the program goes on.
TEST_F(Carving, FailuresAreReportedAfterProgress)
{
	std::string b = block(9);
	struct {
		const char *name;
		const char *in_the_way; // what stands at "5,jpg"
		std::function<void()> call;
		const char *out, *err;
	} cases[] = {
	    {"create over a directory", nullptr, [] { EXPECT_EQ(make_jpg(5), nullptr); },
	     "Make jpg number 5: 5,jpg \n", "Could not create 5,jpg.\n"},
	    {"append to a directory", nullptr, [&] { append_jpg(5, bytes(b)); },
	     "Append to jpg number: 5 \n", "Could not open 5,jpg.\n"},
	    {"append on a full disk", "/dev/full", [&] { append_jpg(5, bytes(b)); },
	     "Append to jpg number: 5 \n", "Could not write 5,jpg.\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove_all(s.path("5,jpg"));
		if (c.in_the_way)
			fs::create_symlink(c.in_the_way, s.path("5,jpg"));
		else
			fs::create_directory(s.path("5,jpg"));
		int fds = open_fds();
		Said apart = capture(c.call);
		EXPECT_EQ(apart.out, c.out);
		EXPECT_EQ(apart.err, c.err);
		EXPECT_EQ(capture(c.call, true).out, std::string(c.out) + c.err);
		EXPECT_EQ(open_fds(), fds);
	}
}

} // namespace
