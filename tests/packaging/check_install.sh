#!/usr/bin/env bash
# What `cmake --install` puts on a machine: the programs, the desktop entry the desktop's
# checker accepts, AppStream metainfo appstreamcli accepts, and the icon at every size.
# check_install.sh BUILD_DIR
set -euo pipefail
build="$1"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
prefix="$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")"
DESTDIR="$stage" cmake --install "$build" >/dev/null
root="$stage$prefix"
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

for program in varnel-agent varnel-agent-cli; do
  [[ -x "$root/bin/$program" ]] || fail "bin/$program is not installed"
done
entry="$root/share/applications/varnel-agent.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
grep -qx "Exec=$prefix/bin/varnel-agent" "$entry" || fail "the desktop entry does not start the installed program"
grep -q '^X-GNOME-UsesNotifications=true$' "$entry" || fail "the desktop entry does not say it sends notices"
metainfo=("$root"/share/metainfo/*.metainfo.xml)
appstreamcli validate --no-net "${metainfo[0]}" || fail "appstreamcli rejects ${metainfo[0]}"
for size in 16x16 24x24 32x32 48x48 64x64 128x128 256x256; do
  [[ -s "$root/share/icons/hicolor/$size/apps/varnel-agent.png" ]] || fail "no $size icon"
done
[[ -s "$root/share/icons/hicolor/scalable/apps/varnel-agent.svg" ]] || fail "no scalable icon"
[[ -x "$root/share/varnel-agent/install-for-user.sh" ]] || fail "the self-installer's script is missing"
exit "$failed"
