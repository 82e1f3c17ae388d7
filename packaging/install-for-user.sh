#!/bin/sh
# Installs Varnel Agent for the user who runs it, without root: the programs go to
# $XDG_DATA_HOME/varnel-agent/app/<version>/ (the link "current" names the one in use), with
# links in ~/.local/bin, the menu entry, the icons and the metainfo in the user's data folder.
# The user's own files (settings, session, certificates, log) are never touched.
#
#   install-for-user.sh [--silent] [--run]
#
# --silent prints nothing but errors; --run starts the installed program once a running copy
# has ended. Everything that can fail is done before "current" moves to the new version; a
# failure half way (a full disk, a file that cannot be replaced) leaves the version in use as
# it was, and with --run starts that version again, so the user is never left without the
# agent. The menu and autostart entries name .../app/current/bin/varnel-agent, never a
# versioned folder that a later update removes.
set -eu

silent=0
run=0
for argument in "$@"; do
    case "$argument" in
    --silent) silent=1 ;;
    --run) run=1 ;;
    *) echo "install-for-user.sh: unknown option $argument" >&2; exit 2 ;;
    esac
done
say() { [ "$silent" = 1 ] || echo "$@"; }

root=$(cd "$(dirname "$0")" && pwd)
version=$(cat "$root/share/varnel-agent/VERSION")
data=${XDG_DATA_HOME:-$HOME/.local/share}
config=${XDG_CONFIG_HOME:-$HOME/.config}
apps="$data/varnel-agent/app"
program="$apps/current/bin/varnel-agent"
entry="$data/applications/varnel-agent.desktop"
autostart="$config/autostart/varnel-agent.desktop"

# Starts the program "current" names once the copy that started this installer has ended
# (it holds this lock while it runs).
start_program() {
    [ -x "$program" ] || return 0
    runtime=${XDG_RUNTIME_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}}
    lock="$runtime/OstVarnel.Agent.lock"
    if [ -e "$lock" ]; then
        flock -w 60 "$lock" true || say "A running Varnel Agent did not end; starting anyway"
    fi
    setsid "$program" </dev/null >/dev/null 2>&1 &
}

previous=$(readlink "$apps/current" 2>/dev/null || true)
staging=""
aside=""
placed=0
switched=0
# On any failure: "current" back to the version it named, the replaced copy back in its
# folder, the new one gone, and with --run the old program started again.
on_exit() {
    status=$?
    trap - EXIT
    set +e
    if [ "$status" != 0 ]; then
        if [ "$switched" = 1 ]; then
            if [ -n "$previous" ]; then
                ln -sfn "$previous" "$apps/current.new" && mv -T "$apps/current.new" "$apps/current"
            else
                rm -f "$apps/current"
            fi
        fi
        if [ "$placed" = 1 ]; then
            rm -rf "${apps:?}/$version"
        fi
        [ -z "$aside" ] || [ ! -e "$aside" ] || mv "$aside" "$apps/$version"
        rm -f "$entry.new" "$autostart.new"
        echo "install-for-user.sh: Varnel Agent $version could not be installed;" \
            "${previous:-no version} stays in use" >&2
        [ "$run" = 1 ] && [ -n "$previous" ] && start_program
    fi
    [ -z "$staging" ] || rm -rf "$staging"
    exit "$status"
}
trap on_exit EXIT

mkdir -p "$apps"
staging=$(mktemp -d "$apps/.installing-XXXXXX")
cp -R "$root/bin" "$root/share" "$staging/"

# The entries first, beside the ones in use: they take their place only once "current" moved.
quoted=$(printf '"%s"' "$program" | sed 's/\\/\\\\/g')
mkdir -p "$data/applications" "$data/icons" "$data/metainfo"
sed "s|^Exec=.*|Exec=$quoted|" "$root/share/applications/varnel-agent.desktop" > "$entry.new"
# Autolaunch, when the user has it on, starts the new program from now on.
if [ -f "$autostart" ] && ! grep -qx 'Hidden=true' "$autostart"; then
    sed "s|^Exec=.*|Exec=$quoted|" "$autostart" > "$autostart.new"
fi
cp -R "$root/share/icons/hicolor" "$data/icons/"
cp "$root/share/metainfo/"*.xml "$data/metainfo/"

# The same version again (a repair): the copy in place is moved aside, not removed, until
# the new one stands in its folder.
if [ -e "$apps/$version" ]; then
    aside="$staging.replaced"
    mv "$apps/$version" "$aside"
fi
mv "$staging" "$apps/$version"
staging=""
placed=1
ln -sfn "$version" "$apps/current.new"
mv -T "$apps/current.new" "$apps/current"
switched=1

mkdir -p "$HOME/.local/bin"
ln -sfn "$apps/current/bin/varnel-agent" "$HOME/.local/bin/varnel-agent"
ln -sfn "$apps/current/bin/varnel-agent-cli" "$HOME/.local/bin/varnel-agent-cli"
mv -fT "$entry.new" "$entry"
[ ! -e "$autostart.new" ] || mv -fT "$autostart.new" "$autostart"

# Installed: nothing below undoes it.
placed=0
switched=0
[ -z "$aside" ] || rm -rf "$aside"
aside=""
say "Varnel Agent $version installed in $apps/$version"

# Only the version in use and the one before it are kept.
for old in $(ls -1t "$apps" | grep -v -e '^current$' -e "^$version\$" -e '^\.' | tail -n +2); do
    rm -rf "${apps:?}/$old" || true
done

if [ "$run" = 1 ]; then
    start_program
    say "Varnel Agent started"
fi
