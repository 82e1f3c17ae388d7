#!/usr/bin/env bash
# The installer's script (packaging/install-for-user.sh) in a scratch HOME, with payloads of
# its own whose program only notes that it was started: a first install, an update that
# cannot replace a file half way (the old version stays current and is started again), and
# an update that goes through. The entries always name the stable path.
# check_user_install.sh SOURCE_DIR
set -euo pipefail
source_dir="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
apps="$HOME/.local/share/varnel-agent/app"
entry="$HOME/.local/share/applications/varnel-agent.desktop"
autostart="$HOME/.config/autostart/varnel-agent.desktop"
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

# A payload as make-installer.sh lays it out, for one version.
payload() {
  local version="$1" dir="$work/payload-$1"
  mkdir -p "$dir/bin" "$dir/share/varnel-agent" "$dir/share/applications" "$dir/share/metainfo" \
    "$dir/share/icons/hicolor/48x48/apps"
  printf '#!/bin/sh\ntouch "$HOME/started-%s"\n' "$version" > "$dir/bin/varnel-agent"
  printf '#!/bin/sh\n' > "$dir/bin/varnel-agent-cli"
  chmod +x "$dir/bin/varnel-agent" "$dir/bin/varnel-agent-cli"
  echo "$version" > "$dir/share/varnel-agent/VERSION"
  printf '[Desktop Entry]\nType=Application\nName=Varnel Agent\nExec=/usr/bin/varnel-agent\n' \
    > "$dir/share/applications/varnel-agent.desktop"
  echo '<component/>' > "$dir/share/metainfo/example.varnel.Agent.metainfo.xml"
  echo icon > "$dir/share/icons/hicolor/48x48/apps/varnel-agent.png"
  cp "$source_dir/packaging/install-for-user.sh" "$dir/"
  echo "$dir"
}
started() { for _ in $(seq 1 50); do [[ -e "$HOME/started-$1" ]] && return 0; sleep 0.1; done; return 1; }

first="$(payload 1.1.0.198)"
sh "$first/install-for-user.sh" --silent || fail "the first install failed"
[[ "$(readlink "$apps/current")" == 1.1.0.198 ]] || fail "current does not name the first version"
grep -qx "Exec=\"$apps/current/bin/varnel-agent\"" "$entry" || fail "the menu entry does not name the stable path"

# The user has autolaunch on, written by a copy that named its versioned folder.
mkdir -p "$(dirname "$autostart")"
printf '[Desktop Entry]\nType=Application\nExec="%s"\n' "$apps/1.1.0.198/bin/varnel-agent" > "$autostart"

# An update whose menu entry cannot be replaced (something that is not a file stands there).
second="$(payload 1.1.0.199)"
mv "$entry" "$work/entry.saved"
mkdir -p "$entry/in-the-way"
if sh "$second/install-for-user.sh" --silent --run 2> "$work/errors.txt"; then
  fail "an install that could not replace the menu entry reported success"
fi
grep -q "1.1.0.198 stays in use" "$work/errors.txt" || fail "the failure does not say which version stays: $(cat "$work/errors.txt")"
[[ "$(readlink "$apps/current")" == 1.1.0.198 ]] || fail "current moved to the half-installed version"
[[ ! -e "$apps/1.1.0.199" ]] || fail "the half-installed version was left behind"
started 1.1.0.198 || fail "the version in use was not started again"
grep -q "app/1.1.0.198/bin" "$autostart" || fail "the autostart entry changed although the update failed"
ls -A "$apps" | grep -q '^\.installing' && fail "a staging folder was left behind"

# The same update once the entry can be written.
rm -rf "$entry"
mv "$work/entry.saved" "$entry"
sh "$second/install-for-user.sh" --silent --run || fail "the update failed"
[[ "$(readlink "$apps/current")" == 1.1.0.199 ]] || fail "current does not name the new version"
started 1.1.0.199 || fail "the new version was not started"
grep -qx "Exec=\"$apps/current/bin/varnel-agent\"" "$autostart" || fail "the autostart entry does not name the stable path"
grep -qx "Exec=\"$apps/current/bin/varnel-agent\"" "$entry" || fail "the menu entry does not name the stable path"
[[ "$(readlink "$HOME/.local/bin/varnel-agent")" == "$apps/current/bin/varnel-agent" ]] || fail "the link in ~/.local/bin"
exit "$failed"
