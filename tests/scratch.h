// SPDX-License-Identifier: ISC
// A fresh folder for each test case, and whole-file reads and writes in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

class Scratch
{
public:
	Scratch()
	{
		std::string tmpl =
		    (std::filesystem::temp_directory_path() / "tarnvel-XXXXXX").string();
		if (mkdtemp(tmpl.data()) == nullptr)
			std::abort();
		dir = tmpl;
	}
	~Scratch() { std::filesystem::remove_all(dir); }
	Scratch(const Scratch &) = delete;
	Scratch &operator=(const Scratch &) = delete;

	std::string path(const std::string &name) const { return (dir / name).string(); }

	void write(const std::string &name, const std::string &bytes) const
	{
		std::ofstream(path(name), std::ios::binary) << bytes;
	}

	// The whole file, or nothing when it does not exist.
	std::optional<std::string> read(const std::string &name) const
	{
		std::ifstream in(path(name), std::ios::binary);
		if (!in)
			return std::nullopt;
		return std::string(std::istreambuf_iterator<char>(in), {});
	}

	std::filesystem::path dir;
};

// The whole of a file that captured a stream, which is then removed.
inline std::string
take(const std::string &path)
{
	std::string bytes;
	{
		std::ifstream in(path, std::ios::binary);
		bytes.assign(std::istreambuf_iterator<char>(in), {});
	}
	std::filesystem::remove(path);
	return bytes;
}
