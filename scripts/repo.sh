#!/bin/bash
# SPDX-License-Identifier: ISC
#
# Publishes every package in dist/, for every architecture, in a signed
# APT repository in dist/repo/, which the machines of a lab install and
# upgrade sigdemos from.  Serve dist/repo/ with any web server.
#
#	scripts/repo.sh		signs with the lab's own key, which the
#				first run makes and later runs reuse
#	scripts/repo.sh KEY	signs with this OpenPGP key of yours
#
# The first run creates the repository, and later runs add what is new.
# A version already published is never replaced by other contents.  What
# the script needs is installed first if it is missing (as root, or with
# sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
	echo "scripts/repo.sh: $*" >&2
	exit 1
}

shopt -s nullglob
debs=(dist/*.deb)
((${#debs[@]})) || fail "no packages in dist/: build them first with scripts/deb.sh"

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
missing=()
for pkg in reprepro gpg gpg-agent; do
	dpkg-query -W -f '${Status}\n' "$pkg" 2>/dev/null | grep -q 'ok installed' ||
		missing+=("$pkg")
done
if ((${#missing[@]})); then
	echo "Installing ${missing[*]}..."
	# Tools for this machine: other architectures' package lists, which
	# a porter's machine may have and a mirror may hold out of step, are
	# not read.
	$sudo apt-get update -qq -o APT::Architectures="$(dpkg --print-architecture)"
	$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The lab's key has no passphrase, so that publishing needs no one at the
# keyboard; it stays in a folder that only its owner can read, outside
# the clone, and only its public half is ever published.
key=${1:-}
if [ -z "$key" ]; then
	export GNUPGHOME=${XDG_DATA_HOME:-$HOME/.local/share}/sigdemos/gnupg
	if [ ! -d "$GNUPGHOME" ]; then
		# Only the key's own folder need be private.
		# shellcheck disable=SC2174
		mkdir -p -m 700 "$GNUPGHOME"
		gpg --batch --quiet --passphrase '' --quick-generate-key \
			"sigdemos lab repository" ed25519 sign never
	fi
fi
fpr=$({ gpg --list-secret-keys --with-colons -- ${key:+"$key"} 2>/dev/null || true; } |
	awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$fpr" ] || fail "no secret key${key:+ \"$key\"} in ${GNUPGHOME:-~/.gnupg}"

# A package whose name and version are published already must be the same
# file: apt would never fetch other contents under the same version.
new=()
for deb in "${debs[@]}"; do
	published=(dist/repo/pool/*/*/*/"${deb##*/}")
	if ((${#published[@]} == 0)); then
		new+=("$deb")
	elif ! cmp -s "$deb" "${published[0]}"; then
		fail "$deb differs from the ${published[0]} already published;" \
			"give a new build a new version (dch -v)"
	fi
done

# reprepro keeps its database and settings beside the repository, not in
# it.  The repository offers every architecture it has ever been given.
state=dist/reprepro
mkdir -p "$state/conf"
archs=$({
	sed -n 's/^Architectures: //p' "$state/conf/distributions" 2>/dev/null | tr ' ' '\n'
	for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Architecture; done
} | sort -u | xargs)
cat >"$state/conf/distributions.new" <<EOF
Origin: sigdemos
Label: sigdemos
Codename: sigdemos
Architectures: $archs
Components: main
Description: sigdemos for the machines of a lab
SignWith: $fpr
EOF
reprepro=(reprepro --silent --basedir "$state" --outdir "$PWD/dist/repo")
if ! cmp -s "$state/conf/distributions.new" "$state/conf/distributions"; then
	mv "$state/conf/distributions.new" "$state/conf/distributions"
	"${reprepro[@]}" export
fi
rm -f "$state/conf/distributions.new"
# Debian 12 builds the package with no Priority, which reprepro wants; it
# is optional, the default.
if ((${#new[@]})); then
	"${reprepro[@]}" --priority optional includedeb sigdemos "${new[@]}"
else
	echo "Nothing new in dist/."
fi

gpg --export "$fpr" >dist/repo/sigdemos.gpg.new
if cmp -s dist/repo/sigdemos.gpg.new dist/repo/sigdemos.gpg; then
	rm dist/repo/sigdemos.gpg.new
else
	mv dist/repo/sigdemos.gpg.new dist/repo/sigdemos.gpg
fi

echo "dist/repo/ holds, signed with $fpr${GNUPGHOME:+ (kept in $GNUPGHOME)}:"
"${reprepro[@]}" list sigdemos
echo "Serve it, for a first try: python3 -m http.server --directory dist/repo 8000"
