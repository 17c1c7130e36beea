// SPDX-License-Identifier: ISC
// The first process of the machine that .ci/kernel boots, built static
// and packed into its initramfs with the modules it names in /modules.
//
// It loads those modules, mounts the tree that the host shares over 9p
// (tag "root") read-only, lays a tmpfs over it so that what runs there can
// write anywhere, and moves into it with /proc, /sys, /dev, /dev/pts,
// /dev/shm, /run and /tmp mounted as on a machine of its own.  There it
// runs the command in /command (its arguments, each ended by a NUL) as
// root, reaping every orphan meanwhile, then prints
//
//	init: the command ended with status N
//
// on the console (128 + the signal's number for a death by a signal) and
// powers the machine off.  Where the machine cannot be laid out, it says
// why and powers off without that line.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Large reads and writes over 9p are far fewer round trips to qemu, each
// of which costs much under emulation.  The kernel and qemu lower it to
// what they allow.
#define NINEP "trans=virtio,version=9p2000.L,cache=loose,msize=512000"

static void
power_off(void)
{
	sync();
	reboot(RB_POWER_OFF);
	// Where even that fails, the kernel panics as init ends, and
	// .ci/kernel boots with panic=-1 and qemu's -no-reboot.
	_exit(1);
}

static void
fail(const char *format, ...)
{
	int saved = errno;
	va_list ap;

	fputs("init: ", stderr);
	va_start(ap, format);
	vfprintf(stderr, format, ap);
	va_end(ap);
	fprintf(stderr, ": %s\n", strerror(saved));
	power_off();
}

static void
mount_or_fail(const char *source, const char *target, const char *type,
	      unsigned long flags, const char *options)
{
	if (mount(source, target, type, flags, options) != 0)
		fail("mount %s on %s (%s)", source, target,
		     options ? options : "");
}

static void
make_dir(const char *path, mode_t mode)
{
	if (mkdir(path, mode) != 0 && errno != EEXIST)
		fail("mkdir %s", path);
}

// The whole of a small file, NUL-terminated; its length in *size.
static char *
slurp(const char *path, size_t *size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	struct stat st;
	char *text;
	size_t got = 0;

	if (fd < 0 || fstat(fd, &st) != 0)
		fail("%s", path);
	text = malloc((size_t)st.st_size + 1);
	if (!text)
		fail("%s", path);
	while (got < (size_t)st.st_size) {
		ssize_t n = read(fd, text + got, (size_t)st.st_size - got);
		if (n <= 0)
			fail("read %s", path);
		got += (size_t)n;
	}
	close(fd);
	text[got] = '\0';
	*size = got;
	return text;
}

// The modules named in /modules, one a line, in the order that they
// depend on each other.
static void
load_modules(void)
{
	size_t size;
	char *list = slurp("/modules", &size);

	for (char *line = strtok(list, "\n"); line; line = strtok(NULL, "\n")) {
		int fd = open(line, O_RDONLY | O_CLOEXEC);
		if (fd < 0)
			fail("%s", line);
		if (syscall(SYS_finit_module, fd, "", 0) != 0 &&
		    errno != EEXIST)
			fail("load %s", line);
		close(fd);
	}
	free(list);
}

// The command's arguments, each ended by a NUL, as a NULL-ended array.
static char **
command(void)
{
	size_t size, n = 0;
	char *text = slurp("/command", &size);
	char **argv = calloc(size + 1, sizeof *argv);

	if (!argv || size == 0 || text[size - 1] != '\0') {
		errno = EINVAL;
		fail("/command");
	}
	for (size_t i = 0; i < size; i += strlen(text + i) + 1)
		argv[n++] = text + i;
	return argv;
}

// The shared tree under a tmpfs, mounted on /root and then moved to /,
// with the kernel's file systems in it.
static void
lay_out(void)
{
	make_dir("/lower", 0755);
	make_dir("/rw", 0755);
	make_dir("/root", 0755);
	mount_or_fail("root", "/lower", "9p", MS_RDONLY, NINEP);
	mount_or_fail("rw", "/rw", "tmpfs", 0, "mode=0755");
	make_dir("/rw/upper", 0755);
	make_dir("/rw/work", 0755);
	mount_or_fail("overlay", "/root", "overlay", 0,
		      "lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work");

	if (chdir("/root") != 0)
		fail("chdir /root");
	mount_or_fail("/root", "/", NULL, MS_MOVE, NULL);
	if (chroot(".") != 0 || chdir("/") != 0)
		fail("chroot");

	mount_or_fail("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
		      NULL);
	mount_or_fail("sysfs", "/sys", "sysfs",
		      MS_NOSUID | MS_NODEV | MS_NOEXEC, NULL);
	mount_or_fail("cgroup2", "/sys/fs/cgroup", "cgroup2",
		      MS_NOSUID | MS_NODEV | MS_NOEXEC, NULL);
	mount_or_fail("devtmpfs", "/dev", "devtmpfs", MS_NOSUID, "mode=0755");
	make_dir("/dev/pts", 0755);
	make_dir("/dev/shm", 01777);
	mount_or_fail("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
		      "gid=5,mode=0620,ptmxmode=0666");
	mount_or_fail("shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV,
		      "mode=1777");
	mount_or_fail("run", "/run", "tmpfs", MS_NOSUID | MS_NODEV,
		      "mode=0755");
	mount_or_fail("tmp", "/tmp", "tmpfs", 0, "mode=1777");
	static const char *const links[][2] = {
	    {"/proc/self/fd", "/dev/fd"},
	    {"/proc/self/fd/0", "/dev/stdin"},
	    {"/proc/self/fd/1", "/dev/stdout"},
	    {"/proc/self/fd/2", "/dev/stderr"},
	};
	for (size_t i = 0; i < sizeof links / sizeof links[0]; i++)
		if (symlink(links[i][0], links[i][1]) != 0 && errno != EEXIST)
			fail("symlink %s", links[i][1]);
}

int
main(void)
{
	char **argv;
	pid_t pid, child;
	int status;

	// The initramfs holds no /dev/console: the kernel's devtmpfs does.
	make_dir("/dev", 0755);
	if (mount("dev", "/dev", "devtmpfs", 0, NULL) == 0) {
		int fd = open("/dev/console", O_RDWR);
		if (fd >= 0) {
			dup2(fd, 0);
			dup2(fd, 1);
			dup2(fd, 2);
			if (fd > 2)
				close(fd);
		}
	}
	setvbuf(stdout, NULL, _IONBF, 0);
	load_modules();
	argv = command();
	umount2("/dev", MNT_DETACH);
	lay_out();

	child = fork();
	if (child < 0)
		fail("fork");
	if (child == 0) {
		char *env[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
			       "HOME=/root", "LANG=C.UTF-8", "TERM=dumb", NULL};
		setsid();
		environ = env;
		execvp(argv[0], argv);
		fprintf(stderr, "init: %s: %s\n", argv[0], strerror(errno));
		_exit(127);
	}
	// Orphans come to init: each is reaped, the command's status kept.
	do {
		pid = wait(&status);
	} while (pid != child && !(pid < 0 && errno == ECHILD));
	if (pid == child)
		printf("\ninit: the command ended with status %d\n",
		       WIFEXITED(status) ? WEXITSTATUS(status)
					 : 128 + WTERMSIG(status));
	power_off();
}
