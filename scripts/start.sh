#!/usr/bin/env bash
# Installs what Tarrow needs, builds it in build-release, gives a root-owned copy of the capture
# helper the right to open packet sockets (sudo setcap), and starts Tarrow as the user who ran this,
# never as root: run through sudo, it builds and starts as $SUDO_USER.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-release
helper=$build_dir/helper/tarrow-capture-helper

# Who Tarrow runs as, and how to run a command as root and as that user.
user_name=$(id -un)
as_root=()
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    user_name=$SUDO_USER
  elif [ -n "${PKEXEC_UID:-}" ] && [ "$PKEXEC_UID" != 0 ]; then
    user_name=$(id -un "$PKEXEC_UID")
  fi
  [ "$user_name" != root ] && as_user=(runuser -u "$user_name" --)
else
  as_root=(sudo)
fi

# The right never goes to the helper in the build tree: its owner could swap that file, or put a
# link there, between any check and the grant. It goes to a copy that root owns, in a folder only
# root can write, that only this user may run (an ACL entry). Tarrow knows the copy's path from
# the build, never from PATH or the environment.
uid=$(id -u "$user_name")
granted_dir=/usr/local/libexec/tarrow-start/$uid
granted=$granted_dir/tarrow-capture-helper

"${as_root[@]}" scripts/install-deps.sh run

"${as_user[@]}" cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARROW_BUILD_TESTS=OFF -DTARROW_BUILD_BENCH=OFF -DTARROW_HELPER_GRANTED_PATH="$granted"
"${as_user[@]}" cmake --build "$build_dir" --target tarrow tarrow-capture-helper

# Runs as root with the helper's bytes on stdin. The bytes are read as the user, so root never
# opens a path the user controls. The copy gets the right before it takes its final name.
grant_copy='
set -eu
dir=$1 uid=$2
umask 022
mkdir -p "$dir"
d=$dir
while :; do
  if [ ! -d "$d" ] || [ -L "$d" ] || [ "$(stat -c %u "$d")" != 0 ] || [ $((0$(stat -c %a "$d") & 022)) -ne 0 ]; then
    echo "$d is not a folder that only root can change" >&2
    exit 1
  fi
  [ "$d" = / ] && break
  d=$(dirname "$d")
done
tmp=$(mktemp "$dir/.tarrow-capture-helper.XXXXXX")
trap '\''rm -f "$tmp"'\'' EXIT
cat > "$tmp"
[ -s "$tmp" ]
chmod 0700 "$tmp"
setfacl -m "u:$uid:rx" "$tmp"
setcap cap_net_raw+ep "$tmp"
mv -f "$tmp" "$dir/tarrow-capture-helper"
trap - EXIT
'

# A rebuilt helper needs a new copy, so this is checked on every start.
copy_is_current() {
  "${as_user[@]}" cmp -s "$helper" "$granted" && /sbin/getcap "$granted" 2>/dev/null | grep -q cap_net_raw
}
if [ "$user_name" != root ] && ! copy_is_current; then
  echo "Granting the right to open packet sockets (cap_net_raw) to a root-owned copy of the capture helper"
  echo "that only $user_name may run (sudo): $granted"
  if ! "${as_user[@]}" cat -- "$helper" | "${as_root[@]}" sh -c "$grant_copy" grant "$granted_dir" "$uid"; then
    echo "The capture right was not granted; Tarrow starts without it." >&2
  fi
fi

if [ "$user_name" = root ]; then
  echo "Starting Tarrow as root: no other user started this script." >&2
  exec "$build_dir/app/tarrow"
fi
if [ ${#as_user[@]} -eq 0 ]; then
  exec "$build_dir/app/tarrow"
fi

# sudo keeps DISPLAY and XAUTHORITY; the user's Wayland and D-Bus sockets are found again here.
session_env=(HOME="$(getent passwd "$user_name" | cut -d: -f6)" USER="$user_name" LOGNAME="$user_name")
[ -n "${DISPLAY:-}" ] && session_env+=(DISPLAY="$DISPLAY")
[ -n "${XAUTHORITY:-}" ] && session_env+=(XAUTHORITY="$XAUTHORITY")
[ -n "${LANG:-}" ] && session_env+=(LANG="$LANG")
if [ -d "/run/user/$uid" ]; then
  session_env+=(XDG_RUNTIME_DIR="/run/user/$uid")
  [ -S "/run/user/$uid/bus" ] && session_env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus")
  wayland=${WAYLAND_DISPLAY:-wayland-0}
  [ -S "/run/user/$uid/$wayland" ] && session_env+=(WAYLAND_DISPLAY="$wayland")
fi
exec runuser -u "$user_name" -- env -i PATH=/usr/local/bin:/usr/bin:/bin "${session_env[@]}" "$build_dir/app/tarrow"
