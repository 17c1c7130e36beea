// SPDX-License-Identifier: ISC
/*
 * The files sigtrace writes.  A regular file is replaced with rename(2),
 * which is atomic: a reader sees the old file or the whole new one, and
 * a failure, a full disk or a signal leaves the old one as it was.
 */
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "output.h"

namespace sigtrace
{

namespace
{

// The files under way, removed at exit if sigtrace ends before they
// are whole.
std::vector<std::string> &
under_way()
{
	static std::vector<std::string> temps;
	return temps;
}

void
remove_under_way()
{
	for (const std::string &temp : under_way())
		unlink(temp.c_str());
	under_way().clear();
}

void
forget(const std::string &temp)
{
	std::vector<std::string> &temps = under_way();
	for (auto it = temps.begin(); it != temps.end(); ++it)
		if (*it == temp) {
			temps.erase(it);
			return;
		}
}

// Where path leads, its links followed: the file, or where a new one
// would be made.
std::string
resolved(const char *path)
{
	std::string given = path;
	char *real = realpath(path, nullptr);
	if (!real) {
		size_t slash = given.rfind('/');
		std::string dir =
		    slash == std::string::npos ? "." : given.substr(0, slash);
		real = realpath(dir.empty() ? "/" : dir.c_str(), nullptr);
		if (real)
			given = std::string(real) + "/" +
				given.substr(slash == std::string::npos
						 ? 0
						 : slash + 1);
		std::free(real);
		return given;
	}
	given = real;
	std::free(real);
	return given;
}

// A new file beside target, with the mode that target has or that a new
// file would get.
int
make_beside(const std::string &target, std::string &temp)
{
	size_t slash = target.rfind('/');
	std::string dir =
	    slash == std::string::npos ? "" : target.substr(0, slash + 1);
	std::string base =
	    slash == std::string::npos ? target : target.substr(slash + 1);
	temp = dir + "." + base + ".XXXXXX";
	int fd = mkstemp(&temp[0]);
	if (fd < 0)
		return -1;
	struct stat st;
	mode_t mode;
	if (stat(target.c_str(), &st) == 0)
		mode = st.st_mode & 07777;
	else {
		mode_t mask = umask(0);
		umask(mask);
		mode = 0666 & ~mask;
	}
	if (fchmod(fd, mode) != 0) {
		int saved = errno;
		close(fd);
		unlink(temp.c_str());
		errno = saved;
		return -1;
	}
	return fd;
}

} // namespace

bool
same_file(const char *path, const struct stat &st)
{
	struct stat other;
	return stat(path, &other) == 0 && other.st_dev == st.st_dev &&
	       other.st_ino == st.st_ino;
}

bool
same_place(const char *path, const char *other)
{
	struct stat st;
	return resolved(path) == resolved(other) ||
	       (stat(other, &st) == 0 && same_file(path, st));
}

Output::~Output()
{
	if (file_ && !stream_)
		std::fclose(file_);
	if (!temp_.empty()) {
		unlink(temp_.c_str());
		forget(temp_);
	}
}

bool
Output::open(const char *path, FILE *stream, const char *name)
{
	if (!path) {
		name_ = name;
		file_ = stream;
		stream_ = true;
		return true;
	}
	name_ = path;
	target_ = resolved(path);
	struct stat st;
	if (stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
		// A device, a FIFO, a terminal: written as it is.
		file_ = std::fopen(target_.c_str(), "w");
		return file_ != nullptr;
	}
	// The list is made before the clean-up is registered, so that it
	// is destroyed after the clean-up runs.
	static bool cleans_up =
	    (under_way(), std::atexit(remove_under_way) == 0);
	(void)cleans_up;
	int fd = make_beside(target_, temp_);
	if (fd < 0) {
		temp_.clear();
		return false;
	}
	under_way().push_back(temp_);
	file_ = fdopen(fd, "w");
	if (!file_) {
		int saved = errno;
		::close(fd);
		errno = saved;
	}
	return file_ != nullptr;
}

bool
Output::close()
{
	if (!file_)
		return true;
	// A write that failed on the way may have left only the error
	// mark; the flush tries what is left again, and says why.
	errno = 0;
	bool written = std::fflush(file_) == 0 && !std::ferror(file_);
	int saved = errno ? errno : EIO;
	if (!stream_ && std::fclose(file_) != 0 && written) {
		written = false;
		saved = errno;
	}
	file_ = nullptr;
	if (written && !temp_.empty() &&
	    std::rename(temp_.c_str(), target_.c_str()) != 0) {
		written = false;
		saved = errno;
	}
	if (!temp_.empty()) {
		if (!written)
			unlink(temp_.c_str());
		forget(temp_);
		temp_.clear();
	}
	errno = saved;
	return written;
}

} // namespace sigtrace
