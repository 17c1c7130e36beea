#!/bin/sh
# SPDX-License-Identifier: ISC
# Draws the README's pictures from real runs: docs/alarmloop.svg and
# docs/pendfork.svg, each the kernel's account of one run of the program
# built in BUILD (build by default).  Run it as root, or as a member of
# the lab's tracing group with SIGTRACE=sigtrace, the lab's copy.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$top/build}/bin" && pwd)
sigtrace=${SIGTRACE:-$bin/sigtrace}
for prog in alarmloop pendfork; do
	# Found on PATH, so that the picture names the program, not a path.
	PATH="$bin:$PATH" "$sigtrace" -o /dev/null --svg "$top/docs/$prog.svg" "$prog" >/dev/null
	echo "docs/$prog.svg"
done
