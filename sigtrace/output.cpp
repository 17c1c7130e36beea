// SPDX-License-Identifier: ISC
/*
 * The files sigtrace writes.  A regular file is replaced with rename(2),
 * which is atomic: a reader sees the old file or the whole new one, and
 * a failure, a full disk or a signal leaves the old one as it was.
 */
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
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
	temps.erase(std::remove(temps.begin(), temps.end(), temp), temps.end());
}

// A path's folder, "/" ended, and its name.
std::pair<std::string, std::string>
split(const std::string &path)
{
	size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return {"./", path};
	return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Where path leads, its links followed: the file, or where a new one
// would be made.
std::string
resolved(const char *path)
{
	char *real = realpath(path, nullptr);
	std::string found;

	if (real)
		found = real;
	else {
		auto [dir, base] = split(path);
		real = realpath(dir.c_str(), nullptr);
		found = real ? std::string(real) + "/" + base : path;
	}
	std::free(real);
	return found;
}

// A new file beside target, with the mode that target has or that a new
// file would get.
int
make_beside(const std::string &target, std::string &temp)
{
	auto [dir, base] = split(target);
	temp = dir + "." + base + ".XXXXXX";
	int fd = mkstemp(temp.data());
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

// A name under /dev or /proc, as /dev/stdout is: a stream already open,
// or a file of the system's, written as it is even where it leads to a
// regular file.
bool
system_file(const char *path)
{
	return std::strncmp(path, "/dev/", 5) == 0 ||
	       std::strncmp(path, "/proc/", 6) == 0;
}

// Whether path is written as it is, not replaced: a file that is not a
// regular one, or a system's.
bool
in_place(const char *path)
{
	struct stat st;
	return system_file(path) ||
	       (stat(path, &st) == 0 && !S_ISREG(st.st_mode));
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
	return !in_place(path) &&
	       (resolved(path) == resolved(other) ||
		(stat(other, &st) == 0 && same_file(path, st)));
}

Output::~Output()
{
	abandon();
}

// Every write of an output goes through here, so that the first that
// fails is known by its errno: stdio keeps only that one failed.
ssize_t
Output::write(void *cookie, const char *data, size_t size)
{
	auto &output = *static_cast<Output *>(cookie);
	size_t done = 0;

	while (done < size) {
		ssize_t wrote = ::write(output.fd_, data + done, size - done);
		if (wrote < 0 && errno == EINTR)
			continue;
		if (wrote <= 0) {
			if (!output.failed_)
				output.failed_ = wrote < 0 ? errno : EIO;
			return 0;
		}
		done += static_cast<size_t>(wrote);
	}
	return static_cast<ssize_t>(done);
}

bool
Output::open_stream()
{
	cookie_io_functions_t io = {nullptr, &Output::write, nullptr, nullptr};
	file_ = fopencookie(this, "w", io);
	return file_ != nullptr;
}

bool
Output::open(const char *path, int stream, const char *name)
{
	if (!path) {
		name_ = name ? name : "";
		fd_ = stream;
		return stream < 0 || open_stream();
	}
	name_ = path;
	target_ = resolved(path);
	if (in_place(path)) {
		// A device, a FIFO, a terminal: written as it is.
		fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
			     0666);
		owned_ = fd_ >= 0;
		return owned_ && open_stream();
	}
	// The list is made before the clean-up is registered, so that it
	// is destroyed after the clean-up runs.
	static bool cleans_up =
	    (under_way(), std::atexit(remove_under_way) == 0);
	(void)cleans_up;
	fd_ = make_beside(target_, temp_);
	if (fd_ < 0) {
		temp_.clear();
		return false;
	}
	owned_ = true;
	under_way().push_back(temp_);
	return open_stream();
}

bool
Output::close()
{
	bool written = true;

	if (file_) {
		written = std::fflush(file_) == 0 && !failed_;
		std::fclose(file_);
		file_ = nullptr;
	}
	if (owned_ && ::close(fd_) != 0 && written) {
		written = false;
		failed_ = errno;
	}
	owned_ = false;
	if (written && !temp_.empty()) {
		if (std::rename(temp_.c_str(), target_.c_str()) == 0) {
			// In place: nothing is left to remove.
			forget(temp_);
			temp_.clear();
		} else {
			written = false;
			failed_ = errno;
		}
	}
	abandon();
	errno = failed_ ? failed_ : EIO;
	return written;
}

void
Output::abandon()
{
	int fd = fd_;

	// What the stream still holds is not wanted: nothing more is written.
	fd_ = -1;
	if (file_) {
		std::fclose(file_);
		file_ = nullptr;
	}
	if (owned_)
		::close(fd);
	owned_ = false;
	if (!temp_.empty()) {
		unlink(temp_.c_str());
		forget(temp_);
		temp_.clear();
	}
}

} // namespace sigtrace
