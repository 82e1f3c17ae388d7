#!/usr/bin/env bash
# The Debian package made from a build tree: its dependencies are runtime libraries only,
# it recommends libproxy's plugins, it holds the programs, the desktop entry (whose Exec is
# a file of the package), the icons and the metainfo, and dpkg installs it into a scratch
# root. check_deb.sh BUILD_DIR
set -euo pipefail
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.txt" 2>&1 ||
  { cat "$work/cpack.txt" >&2; exit 1; }
deb=("$work"/out/varnel-agent_*.deb)
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

depends="$(dpkg-deb -f "${deb[0]}" Depends)"
recommends="$(dpkg-deb -f "${deb[0]}" Recommends)"
[[ "$depends" == *libwebkit2gtk-4.1-0* && "$depends" == *libcurl4* ]] || fail "runtime libraries missing: $depends"
[[ "$depends" != *-dev* ]] || fail "a development package among the dependencies: $depends"
[[ "$recommends" == *libproxy1-plugin-webkit* ]] || fail "the PAC runner is not recommended: $recommends"

mkdir -p "$work/root/var/lib/dpkg/info" "$work/root/var/lib/dpkg/updates"
touch "$work/root/var/lib/dpkg/status"
dpkg --root="$work/root" --force-depends --force-not-root --force-script-chrootless \
  --log=/dev/null -i "${deb[0]}" >"$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt" >&2; fail "dpkg -i"; }
entry="$(find "$work/root" -path '*/share/applications/varnel-agent.desktop' | head -1)"
[[ -n "$entry" ]] || fail "no desktop entry installed"
if [[ -n "$entry" ]]; then
  program="$(sed -n 's/^Exec=//p' "$entry")"
  [[ -x "$work/root$program" ]] || fail "the desktop entry starts $program, which the package does not hold"
  desktop-file-validate "$entry" || fail "desktop-file-validate rejects the packaged entry"
fi
[[ -n "$(find "$work/root" -path '*/bin/varnel-agent-cli')" ]] || fail "no command-line front end"
[[ -n "$(find "$work/root" -name '*.metainfo.xml')" ]] || fail "no metainfo"
[[ -n "$(find "$work/root" -path '*/hicolor/scalable/apps/varnel-agent.svg')" ]] || fail "no scalable icon"
exit "$failed"
