#!/bin/sh
# Installs Varnel Agent for the user who runs it, without root: the programs go to
# $XDG_DATA_HOME/varnel-agent/app/<version>/ (the folder "current" names the one in use),
# with links in ~/.local/bin, the menu entry, the icons and the metainfo in the user's data
# folder. The user's own files (settings, session, certificates, log) are never touched.
#
#   install-for-user.sh [--silent] [--run]
#
# --silent prints nothing but errors; --run starts the installed program once a running copy
# has ended. A failure half way leaves the version in use as it was.
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

mkdir -p "$apps"
staging=$(mktemp -d "$apps/.installing-XXXXXX")
aside=""
trap 'rm -rf "$staging"' EXIT
cp -R "$root/bin" "$root/share" "$staging/"
# The same version again (a repair): the copy in place is moved aside, not removed, until
# the new one stands in its folder, and put back if that fails.
if [ -e "$apps/$version" ]; then
    aside="$staging.replaced"
    mv "$apps/$version" "$aside"
fi
if ! mv "$staging" "$apps/$version"; then
    [ -z "$aside" ] || mv "$aside" "$apps/$version"
    echo "install-for-user.sh: $apps/$version cannot be written" >&2
    exit 1
fi
trap - EXIT
[ -z "$aside" ] || rm -rf "$aside"
ln -sfn "$version" "$apps/current.new"
mv -T "$apps/current.new" "$apps/current"
program="$apps/current/bin/varnel-agent"
say "Varnel Agent $version installed in $apps/$version"

# Only the version in use and the one before it are kept.
for old in $(ls -1t "$apps" | grep -v -e '^current$' -e "^$version\$" | tail -n +2); do
    rm -rf "${apps:?}/$old"
done

mkdir -p "$HOME/.local/bin"
ln -sfn "$apps/current/bin/varnel-agent" "$HOME/.local/bin/varnel-agent"
ln -sfn "$apps/current/bin/varnel-agent-cli" "$HOME/.local/bin/varnel-agent-cli"

quoted=$(printf '"%s"' "$program" | sed 's/\\/\\\\/g')
mkdir -p "$data/applications" "$data/icons" "$data/metainfo"
sed "s|^Exec=.*|Exec=$quoted|" "$root/share/applications/varnel-agent.desktop" \
    > "$data/applications/varnel-agent.desktop.new"
mv "$data/applications/varnel-agent.desktop.new" "$data/applications/varnel-agent.desktop"
cp -R "$root/share/icons/hicolor" "$data/icons/"
cp "$root/share/metainfo/"*.xml "$data/metainfo/"

# Autolaunch, when the user has it on, starts the new program from now on.
autostart="$config/autostart/varnel-agent.desktop"
if [ -f "$autostart" ] && ! grep -qx 'Hidden=true' "$autostart"; then
    sed "s|^Exec=.*|Exec=$quoted|" "$autostart" > "$autostart.new"
    mv "$autostart.new" "$autostart"
fi

if [ "$run" = 1 ]; then
    # The copy that started this installer is closing; the new one starts once it has gone
    # (it holds this lock while it runs).
    runtime=${XDG_RUNTIME_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}}
    lock="$runtime/OstVarnel.Agent.lock"
    if [ -e "$lock" ]; then
        flock -w 60 "$lock" true || say "A running Varnel Agent did not end; starting anyway"
    fi
    setsid "$program" </dev/null >/dev/null 2>&1 &
    say "Varnel Agent started"
fi
