#!/bin/sh
# SPDX-License-Identifier: ISC
#
# Builds the Debian package from a clean copy of this tree and leaves it,
# with its debug symbols, .buildinfo and .changes, in dist/.  What the
# build needs is installed first if it is missing (as root, or with sudo).
set -eu
cd "$(dirname "$0")/.."

if ! command -v dpkg-checkbuilddeps >/dev/null || ! dpkg-checkbuilddeps 2>/dev/null; then
	sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	echo "Installing what the package build needs..."
	$sudo apt-get update -qq
	$sudo apt-get build-dep -y -qq ./
fi

# dpkg-buildpackage writes its results next to the tree it builds, so the
# build happens in a folder of its own, from the files git knows about:
# nothing from an earlier build in the work tree gets into the package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/sigdemos"
git ls-files -z --cached --others --exclude-standard |
	tar --null -T - -cf - | tar -xf - -C "$work/sigdemos"
(cd "$work/sigdemos" && dpkg-buildpackage -b --no-sign)

rm -rf dist
mkdir dist
mv "$work"/*.*deb "$work"/*.buildinfo "$work"/*.changes dist/
ls dist
