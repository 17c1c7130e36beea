// SPDX-License-Identifier: ISC
/*
 * The files sigtrace writes, its account and its picture, so that none
 * is ever destroyed or left half-written, and no write fails unseen.
 */
#ifndef OUTPUT_H
#define OUTPUT_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <string>

namespace sigtrace
{

// A regular file, or a name that is none yet, is written to a new file
// beside it that takes its place only once whole; a symbolic link is
// followed.  Anything else (a device, a FIFO, standard output) is written
// in place, and never removed.
class Output
{
      public:
	Output() = default;
	Output(const Output &) = delete;
	Output &operator=(const Output &) = delete;
	// A file not yet in place is removed, here or at exit.
	~Output();

	// path, or where path is null the standard stream whose descriptor
	// is stream (none, if -1), named name: false, with errno, where it
	// cannot be written.
	bool open(const char *path, int stream, const char *name);
	// All of it written and in place: false, with errno, where a write
	// failed; the old file is then left as it was.
	bool close();
	// Nothing of it put in place: the old file is left as it was.
	void abandon();

	FILE *
	file() const
	{
		return file_;
	}
	const std::string &
	name() const
	{
		return name_;
	}

      private:
	static ssize_t write(void *cookie, const char *data, size_t size);
	bool open_stream();

	std::string name_;   // as the user gave it
	std::string target_; // the file that it will be, links followed
	std::string temp_;   // where it is written until then, if elsewhere
	FILE *file_ = nullptr;
	int fd_ = -1;
	bool owned_ = false; // fd_ is closed here
	int failed_ = 0;     // the errno of the first write that failed
};

// Whether path names the file that st describes: an output that is the
// input.
bool same_file(const char *path, const struct stat &st);
// Whether two paths name one file that each would replace: two outputs
// that would write over each other.  (Two written in place, as
// /dev/null, may be one.)
bool same_place(const char *path, const char *other);

} // namespace sigtrace

#endif
