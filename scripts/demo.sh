#!/bin/sh
# SPDX-License-Identifier: ISC
# Runs each demonstration given on the command line in turn, under a
# heading, and shows the exit status it ended with.  Output goes straight
# to the terminal, so each program buffers it as it would from a shell.
for prog do
	name=${prog##*/}
	printf '==> %s <==\n' "$name"
	"$prog"
	status=$?
	# pendfork's one line has no newline of its own; end it here so that
	# the status starts on a line of its own.
	if [ "$name" = pendfork ] && [ "$status" -eq 0 ]; then
		echo
	fi
	printf '[exit status %d]\n\n' "$status"
done
