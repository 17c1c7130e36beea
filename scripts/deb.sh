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

cross=()
missing=()
if [ "$arch" != "$build_arch" ]; then
	cross=(-a "$arch")
	dpkg --print-foreign-architectures | grep -qx "$arch" ||
		$sudo dpkg --add-architecture "$arch"
	# The compiler for that architecture, its C library, and the emulator
	# that runs its programs for the tests.
	for pkg in "crossbuild-essential-$arch" "libc6-dev:$arch" qemu-user-static binfmt-support; do
		dpkg-query -W -f '${Status}\n' "$pkg" 2>/dev/null | grep -q 'ok installed' ||
			missing+=("$pkg")
	done
fi
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
	# The kernel hands a foreign program to qemu-user through binfmt_misc,
	# which a container may not have mounted.
	[ -e /proc/sys/fs/binfmt_misc/status ] ||
		$sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
	case $arch in
	arm64) emulator=qemu-aarch64 ;;
	armel | armhf) emulator=qemu-arm ;;
	i386) emulator=qemu-i386 ;;
	ppc64el) emulator=qemu-ppc64le ;;
	*) emulator=qemu-$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU) ;;
	esac
	# qemu-user-static has no entry for what the kernel runs itself (i386
	# programs on amd64).
	if [ -e "/usr/share/binfmts/$emulator" ] &&
		[ ! -e "/proc/sys/fs/binfmt_misc/$emulator" ]; then
		$sudo update-binfmts --enable "$emulator"
	fi
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
