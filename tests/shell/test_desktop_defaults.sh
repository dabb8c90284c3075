#!/bin/sh
# Installing Kavo (cmake --install into a prefix, that prefix first in XDG_DATA_DIRS) makes it the
# default application for no file type, and it handles its own kavo:// and vendrel:// links.
# Every entry and file-manager action runs the installed program by its path in that prefix,
# which need not be on PATH.
# Usage: test_desktop_defaults.sh BUILD_DIR
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > /dev/null
update-desktop-database "$work/prefix/share/applications"
mkdir -p "$work/home" "$work/config" "$work/data" "$work/etc"
# A desktop of nobody in particular: only what the install and the system's own data say counts.
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CONFIG_DIRS="$work/etc"
export XDG_DATA_DIRS="$work/prefix/share:/usr/local/share:/usr/share"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID XDG_SESSION_DESKTOP || true
status=0
for type in image/png image/jpeg application/pdf text/plain application/zip video/mp4 audio/mpeg \
  application/octet-stream inode/directory; do
  chosen=$(xdg-mime query default "$type" 2> /dev/null || true)
  case "$chosen" in
    *kavo*) echo "FAIL: installing Kavo made $chosen the default for $type"; status=1 ;;
  esac
done
for scheme in kavo vendrel; do
  chosen=$(xdg-mime query default "x-scheme-handler/$scheme" 2> /dev/null || true)
  [ "$chosen" = kavo.desktop ] || { echo "FAIL: $scheme:// links open with '$chosen', not kavo.desktop"; status=1; }
done
share=$work/prefix/share
for entry in applications/kavo.desktop applications/kavo-share.desktop kio/servicemenus/kavo-share-via.desktop \
  nemo/actions/kavo.nemo_action Thunar/sendto/kavo.desktop file-manager/actions/kavo-share-via.desktop; do
  exec_line=$(grep '^Exec=' "$share/$entry" || true)
  program=$(printf '%s' "$exec_line" | sed -n 's/^Exec="\([^"]*\)".*/\1/p')
  case "$program" in
    "$work/prefix/bin/kavo" | "$work/prefix/bin/kavo-share") [ -x "$program" ] || { echo "FAIL: $entry runs $program, which is not installed"; status=1; } ;;
    *) echo "FAIL: $entry runs '$exec_line', not the installed program"; status=1 ;;
  esac
done
grep -q "^KAVO = \"$work/prefix/bin/kavo\"\$" "$share/nautilus-python/extensions/kavo.py" \
  || { echo "FAIL: the Nautilus extension does not run $work/prefix/bin/kavo"; status=1; }
[ "$(grep -c '^Name=Share via Kavo$' "$share/applications/kavo-share.desktop")" = 0 ] \
  || { echo "FAIL: kavo-share's entry has the file managers' action's name"; status=1; }
[ "$status" = 0 ] && echo "PASS: Kavo is the default for no file type, and for its own links"
exit "$status"
