#!/usr/bin/env bash
# Builds the self-extracting installer (makeself) from a build tree's install tree: the
# archive the update service offers, which installs for the user who runs it.
#   make-installer.sh BUILD_DIR OUTPUT_FILE VERSION
# The agent reads the installer's version from the label's last word.
set -euo pipefail
build="$1"
output="$2"
version="$3"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
prefix="$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")"
DESTDIR="$stage" cmake --install "$build" >/dev/null
payload="$stage${prefix:-/usr/local}"
echo "$version" > "$payload/share/varnel-agent/VERSION"
cp "$payload/share/varnel-agent/install-for-user.sh" "$payload/"
makeself --quiet --nox11 "$payload" "$output" "Varnel Agent $version" ./install-for-user.sh
