#!/bin/bash
# SPDX-License-Identifier: ISC
#
# Builds the Debian package from a clean copy of this tree and leaves it,
# with its debug symbols, .buildinfo, .changes and build log, in dist/.
#
#	scripts/deb.sh		for the architecture of this machine
#	scripts/deb.sh arm64	for another one, cross-built as a Debian
#				porter does; the tests run the foreign
#				programs through qemu-user
#
# What the build needs is installed first if it is missing (as root, or
# with sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

build_arch=$(dpkg --print-architecture)
arch=${1:-$build_arch}
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

installed() {
	dpkg-query -W -f '${Status}\n' "$1" 2>/dev/null | grep -q 'ok installed'
}

cross=()
missing=()
if [ "$arch" != "$build_arch" ]; then
	cross=(-a "$arch")
	dpkg --print-foreign-architectures | grep -qx "$arch" ||
		$sudo dpkg --add-architecture "$arch"
	# The compiler for that architecture and its C library.  What the
	# tests need to run its programs, the C++ runtime among them, is in
	# the package's own build dependencies.
	for pkg in "crossbuild-essential-$arch" "libc6-dev:$arch"; do
		installed "$pkg" || missing+=("$pkg")
	done
	# qemu-user, statically linked, runs its programs for the tests:
	# qemu-user-static up to Debian 12; from Debian 13 on that name brings
	# in qemu-user and qemu-user-binfmt instead.
	installed qemu-user-static || installed qemu-user-binfmt ||
		missing+=(qemu-user-static)
fi
# Debian 12's dpkg-buildpackage runs the binary targets as root: through
# fakeroot, for anyone else.
[ -z "$sudo" ] || installed fakeroot || missing+=(fakeroot)
if ((${#missing[@]})) || ! command -v dpkg-checkbuilddeps >/dev/null ||
	! dpkg-checkbuilddeps "${cross[@]}" 2>/dev/null; then
	echo "Installing what the package build needs..."
	$sudo apt-get update -qq
	if ((${#missing[@]})); then
		$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
	fi
	# Build tools are marked in debian/control as the build machine's own,
	# so this installs the foreign C library and never swaps them.
	$sudo apt-get build-dep -y -qq "${cross[@]}" ./
fi

if ((${#cross[@]})); then
	case $arch in
	arm64) emulator=qemu-aarch64 ;;
	armel | armhf) emulator=qemu-arm ;;
	i386) emulator=qemu-i386 ;;
	ppc64el) emulator=qemu-ppc64le ;;
	*) emulator=qemu-$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU) ;;
	esac
	# The kernel hands a foreign program to qemu-user through binfmt_misc.
	# On a machine with systemd or binfmt-support the entry is registered
	# when qemu is installed; a container has neither, and may not even
	# have binfmt_misc mounted, so the entry is registered here from the
	# binfmt.d file that qemu ships.  qemu ships none for i386 programs,
	# which an amd64 kernel runs itself; one built without 32-bit
	# emulation refuses them, and then the entry is qemu's own for i386.
	binfmt=/proc/sys/fs/binfmt_misc
	conf=/usr/lib/binfmt.d/$emulator.conf
	entries=
	if [ -e "$conf" ]; then
		entries=$(grep -Ev '^([#;]|$)' "$conf")
	elif [ "$arch" = i386 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
		entries=$(printf ':qemu-i386:M::%s:%s:%s:F' \
			'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
			'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
			"$(command -v qemu-i386-static || command -v qemu-i386)")
	fi
	if [ -n "$entries" ]; then
		[ -e "$binfmt/status" ] ||
			$sudo mount -t binfmt_misc binfmt_misc "$binfmt"
		# Another build may register it at the same moment.
		[ -e "$binfmt/$emulator" ] ||
			while read -r entry; do
				echo "$entry" | $sudo tee "$binfmt/register" >/dev/null ||
					[ -e "$binfmt/$emulator" ]
			done <<<"$entries"
	fi
	# Tells debhelper that the programs built can run here, through it.
	export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }crossbuildcanrunhostbinaries"
fi

# dpkg-buildpackage writes its results next to the tree it builds, so the
# build happens in a folder of its own, from the files git knows about:
# nothing from an earlier build in the work tree gets into the package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/sigdemos"
git ls-files -z --cached --others --exclude-standard |
	tar --null -T - -cf - | tar -xf - -C "$work/sigdemos"
version=$(dpkg-parsechangelog -S Version)
log=$work/sigdemos_${version}_$arch.build
(cd "$work/sigdemos" && dpkg-buildpackage "${cross[@]}" -b --no-sign) 2>&1 | tee "$log"

# Packages for other architectures stay beside this one.
mkdir -p dist
rm -f dist/*_"$arch".*
mv "$work"/*_"$arch".* dist/
ls dist/*_"$arch".*
