// SPDX-License-Identifier: ISC
// What the fuzzers share: an account told by the text, the JSON and the
// picture at once, each into memory, and the promise of sigtrace --from,
// that an account read back from its JSON writes the same JSON, byte for
// byte.
#ifndef TOLD_H
#define TOLD_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "writers.h"

namespace fuzz
{

// What the three writers made of one telling.
struct Told {
	std::string text, json, svg;
};

class Tellers
{
      public:
	Tellers()
	{
		std::vector<std::unique_ptr<sigtrace::Writer>> all;
		for (File &file : files_) {
			file.out = open_memstream(&file.data, &file.size);
			if (!file.out)
				std::abort();
		}
		all.push_back(sigtrace::text_writer(files_[0].out));
		all.push_back(sigtrace::json_writer(files_[1].out));
		all.push_back(sigtrace::svg_writer(files_[2].out));
		writer_ = sigtrace::all_of(std::move(all));
	}
	~Tellers()
	{
		close();
		for (File &file : files_)
			std::free(file.data);
	}
	Tellers(const Tellers &) = delete;
	Tellers &operator=(const Tellers &) = delete;

	sigtrace::Writer &
	writer()
	{
		return *writer_;
	}

	// What each wrote, once all is told.
	Told
	told()
	{
		close();
		return {text(files_[0]), text(files_[1]), text(files_[2])};
	}

      private:
	struct File {
		FILE *out = nullptr;
		char *data = nullptr;
		size_t size = 0;
	};

	static std::string
	text(const File &file)
	{
		return {file.data, file.size};
	}

	void
	close()
	{
		writer_.reset();
		for (File &file : files_)
			if (file.out) {
				std::fclose(file.out);
				file.out = nullptr;
			}
	}

	File files_[3];
	std::unique_ptr<sigtrace::Writer> writer_;
};

// An account read as sigtrace --from reads one; false, with the fault,
// where it is refused.
inline bool
read_account(const void *data, size_t size, Told &told, std::string &error)
{
	static char nothing;
	// Opened to read only, whatever fmemopen's type says.
	FILE *in =
	    fmemopen(size ? const_cast<void *>(data) : &nothing, size, "r");
	if (!in)
		std::abort();
	Tellers tellers;
	bool read = sigtrace::replay_json(in, tellers.writer(), error);
	std::fclose(in);
	told = tellers.told();
	return read;
}

// Where two tellings first part: from a little before, on that line, in
// each.
inline void
same(const char *what, const std::string &first, const std::string &then)
{
	if (first == then)
		return;
	auto parted =
	    std::mismatch(first.begin(), first.end(), then.begin(), then.end());
	auto part = static_cast<size_t>(parted.first - first.begin());
	size_t line = part ? first.rfind('\n', part - 1) : std::string::npos;
	line = line == std::string::npos ? 0 : line + 1;
	size_t from = std::max(line, part > 80 ? part - 80 : 0);
	auto piece = [&](const std::string &text) {
		size_t end = std::min(text.find('\n', part), from + 240);
		return text.substr(from, end - from);
	};
	std::fprintf(stderr,
		     "the %s told again from the JSON differs at byte %zu:\n"
		     "first: %s\nthen:  %s\n",
		     what, part, piece(first).c_str(), piece(then).c_str());
	std::abort();
}

} // namespace fuzz

#endif
