// SPDX-License-Identifier: ISC
/*
 * The program's launch, as a shell would launch it, and our privileges
 * given up before anything that the user names is opened or run.
 */
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "launch.h"
#include "tool.h"

namespace sigtrace
{

namespace
{

// The child waits until it is traced, then runs the program: as root,
// when root started us, for root's program must run as root's would; as
// the user with no capability, when a file's capabilities did.
[[noreturn]] void
run_program(const std::string &path, char **argv, int release)
{
	uid_t uid = getuid();
	gid_t gid = getgid();
	uid_t uids[3];
	gid_t gids[3];
	char go;

	if (uid != 0 &&
	    (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0 ||
	     !drop_capabilities() || holds_capabilities() ||
	     getresuid(&uids[0], &uids[1], &uids[2]) != 0 ||
	     getresgid(&gids[0], &gids[1], &gids[2]) != 0 || uids[0] != uid ||
	     uids[1] != uid || uids[2] != uid || gids[0] != gid ||
	     gids[1] != gid || gids[2] != gid)) {
		std::fprintf(
		    stderr,
		    "sigtrace: %s not run: it could not be made to run as you, "
		    "with no capability\n",
		    argv[0]);
		_exit(EXIT_CANNOT_RUN);
	}
	if (read(release, &go, 1) != 1)
		_exit(EXIT_CANNOT_TRACE);
	execv(path.c_str(), argv);
	int error = errno;
	std::fprintf(stderr, "sigtrace: %s: %s\n", argv[0],
		     std::strerror(error));
	_exit(error == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_RUN);
}

} // namespace

std::string
find_program(const char *name)
{
	std::string path = name;

	if (!std::strchr(name, '/')) {
		const char *search = std::getenv("PATH");
		std::string dirs =
		    search ? search : "/usr/local/bin:/usr/bin:/bin";
		path.clear();
		for (size_t start = 0, end; start <= dirs.size();
		     start = end + 1) {
			end = dirs.find(':', start);
			if (end == std::string::npos)
				end = dirs.size();
			std::string dir = dirs.substr(start, end - start);
			std::string candidate =
			    (dir.empty() ? "." : dir) + "/" + name;
			struct stat st;
			if (stat(candidate.c_str(), &st) == 0 &&
			    !S_ISDIR(st.st_mode) &&
			    access(candidate.c_str(), X_OK) == 0) {
				path = candidate;
				break;
			}
		}
		if (path.empty())
			fail(EXIT_NOT_FOUND, "%s: command not found", name);
	}
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		fail(EXIT_NOT_FOUND, "%s: %s", name, std::strerror(errno));
	if (S_ISDIR(st.st_mode))
		fail(EXIT_CANNOT_RUN, "%s: %s", name, std::strerror(EISDIR));
	if (access(path.c_str(), X_OK) != 0)
		fail(EXIT_CANNOT_RUN, "%s: %s", name, std::strerror(errno));
	return path;
}

// The tracepoints report the machine's process ids; in a pid namespace of
// our own, the ids we know are others.
void
refuse_pid_namespace()
{
	std::ifstream status("/proc/self/status");
	std::string text;

	while (std::getline(status, text))
		if (text.rfind("NSpid:", 0) == 0 &&
		    text.find_first_of(" \t", 7) != std::string::npos)
			fail(EXIT_CANNOT_TRACE,
			     "the kernel's tracepoints know processes by "
			     "other ids than this pid namespace: "
			     "run sigtrace outside it");
}

bool
drop_capabilities()
{
	__user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};

	return syscall(SYS_capset, &header, none) == 0 &&
	       prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0;
}

bool
holds_capabilities()
{
	__user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3] = {};

	return syscall(SYS_capget, &header, held) != 0 ||
	       std::any_of(std::begin(held), std::end(held),
			   [](const auto &word) {
				   return word.effective || word.permitted ||
					  word.inheritable;
			   });
}

pid_t
start_program(const std::string &path, char **argv, int *go)
{
	int release[2];

	if (pipe2(release, O_CLOEXEC) != 0)
		fail(EXIT_CANNOT_TRACE, "%s", std::strerror(errno));
	pid_t child = fork();
	if (child < 0)
		fail(EXIT_CANNOT_TRACE, "cannot fork: %s",
		     std::strerror(errno));
	if (child == 0) {
		close(release[1]);
		run_program(path, argv, release[0]);
	}
	close(release[0]);
	*go = release[1];
	return child;
}

void
go_ahead(int go)
{
	if (write(go, "", 1) != 1)
		fail(EXIT_CANNOT_TRACE, "%s", std::strerror(errno));
	close(go);
}

} // namespace sigtrace
