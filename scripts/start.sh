#!/usr/bin/env bash
# Installs what Tarrow needs, builds it in build-release, gives a root-owned copy of the capture
# helper the right to open packet sockets and to name the program behind each local query (sudo
# setcap), and starts Tarrow as the user who ran this:
# run through sudo (or pkexec), it builds and starts as that user. Only when root itself runs it does
# Tarrow run as root: root then gets a granted copy of its own too, for root's Tarrow gives up every
# capability at its start and keeps the programs it starts from getting root's back, so its helper
# captures only with the right that its file holds.
# tarrow-watch is built beside Tarrow and uses the same granted copy.
#   start.sh                    build, grant and start Tarrow
#   start.sh --watch [-- ARGS]  build, grant and run tarrow-watch ARGS instead, in this terminal
#   start.sh --revoke           take the grant back: remove this user's copy of the helper; builds nothing
set -euo pipefail
cd "$(dirname "$0")/.."

revoke=0
watch=0
watch_args=()
case "${1:-}" in
  "") ;;
  --revoke) revoke=1 ;;
  --watch)
    watch=1
    shift
    [ "${1:-}" != -- ] || shift
    watch_args=("$@")
    ;;
  *) echo "usage: scripts/start.sh [--watch [-- TARROW-WATCH-ARGS...] | --revoke]" >&2; exit 2 ;;
esac

build_dir=build-release

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
granted_base=/usr/local/libexec/tarrow-start
granted_dir=$granted_base/$uid
granted=$granted_dir/tarrow-capture-helper
# cap_net_raw to capture; cap_bpf and cap_perfmon to load the program that names the sender of each
# local query, given up with the rest once it is attached. Permitted only: the helper raises them.
rights=cap_net_raw,cap_bpf,cap_perfmon=p

# Shell code for root, shared by the grant and its removal: fails unless $1 and every folder above
# it are folders that only root can change, so that no one else can swap what root then touches.
root_only='
PATH=/usr/sbin:/usr/bin:/sbin:/bin
only_root_can_change() {
  p=$1
  while :; do
    if [ ! -d "$p" ] || [ -L "$p" ] || [ "$(stat -c %u "$p")" != 0 ] || [ $((0$(stat -c %a "$p") & 022)) -ne 0 ]; then
      echo "$p is not a folder that only root can change" >&2
      return 1
    fi
    [ "$p" = / ] && return 0
    p=$(dirname "$p")
  done
}
'

# Runs as root: removes the copy granted to uid $2 (if $2 is given) and every copy whose uid has no
# account any more, for an account made later with that uid would inherit the ACL and the right.
# Only numbered, root-owned folders that are no links count as copies.
take_back=$root_only'
set -eu
base=$1 uid=$2
remove() {
  only_root_can_change "$1"
  for f in "$1/tarrow-capture-helper" "$1"/.tarrow-capture-helper.*; do
    # Off the file itself, not just its name: a hard link elsewhere would keep both.
    if [ -f "$f" ] && [ ! -L "$f" ]; then
      [ -z "$(getcap "$f")" ] || setcap -r "$f"
      setfacl -b "$f"
    fi
    rm -f "$f"
  done
  rmdir "$1"
}
if [ -n "$uid" ]; then
  if [ -e "$base/$uid" ] || [ -L "$base/$uid" ]; then
    remove "$base/$uid"
    echo "Removed the capture helper copy granted to uid $uid, and its folder: $base/$uid"
  else
    echo "Nothing to revoke: no copy of the capture helper was granted to uid $uid ($base/$uid)."
  fi
fi
for d in "$base"/*; do
  n=${d##*/}
  case $n in "" | *[!0-9]*) continue ;; esac
  [ -d "$d" ] && [ ! -L "$d" ] && [ "$(stat -c %u "$d")" = 0 ] || continue
  getent passwd "$n" >/dev/null && continue
  remove "$d"
  echo "Removed $d: no account has the uid $n any more."
done
'

# Seen as the user, so that root is asked only when there is something to remove; root checks again.
orphaned_copies() {
  local d
  for d in "$granted_base"/*; do
    [[ ${d##*/} =~ ^[0-9]+$ ]] && [ -d "$d" ] && [ ! -L "$d" ] && [ "$(stat -c %u "$d")" = 0 ] || continue
    getent passwd "${d##*/}" >/dev/null || echo "$d"
  done
}

orphans=$(orphaned_copies)
if [ $revoke -eq 1 ]; then
  if [ ! -e "$granted_dir" ] && [ ! -L "$granted_dir" ] && [ -z "$orphans" ]; then
    echo "Nothing to revoke: no copy of the capture helper was granted to $user_name ($granted_dir)."
    exit 0
  fi
  if ! "${as_root[@]}" sh -c "$take_back" take-back "$granted_base" "$uid"; then
    left=$orphans
    if [ -e "$granted_dir" ] || [ -L "$granted_dir" ]; then left="$granted_dir $left"; fi
    echo "The capture right was not (or not entirely) taken back. An administrator can run:" >&2
    printf '  sudo rm -r %s\n' $left >&2
    exit 1
  fi
  exit 0
fi
if [ -n "$orphans" ]; then
  echo "Removing copies of the capture helper granted to accounts that no longer exist (sudo):" $orphans
  if ! "${as_root[@]}" sh -c "$take_back" take-back "$granted_base" ""; then
    echo "They were not (or not all) removed; Tarrow starts anyway. An administrator can run:" >&2
    printf '  sudo rm -r %s\n' $orphans >&2
  fi
fi

"${as_root[@]}" scripts/install-deps.sh run

"${as_user[@]}" cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARROW_BUILD_TESTS=OFF -DTARROW_BUILD_BENCH=OFF -DTARROW_HELPER_GRANTED_PATH="$granted"
"${as_user[@]}" cmake --build "$build_dir" --target tarrow tarrow-watch tarrow-capture-helper
# The build says where it put the helper.
helper=$(sed -n 's/^TARROW_HELPER_BUILT=//p' "$build_dir/facts.env")

# Runs as root with the helper's bytes on stdin. The bytes are read as the user, so root never
# opens a path the user controls. The copy gets the right before it takes its final name.
grant_copy=$root_only'
set -eu
dir=$1 uid=$2 rights=$3
umask 022
mkdir -p "$dir"
only_root_can_change "$dir"
tmp=$(mktemp "$dir/.tarrow-capture-helper.XXXXXX")
trap '\''rm -f "$tmp"'\'' EXIT
cat > "$tmp"
[ -s "$tmp" ]
chmod 0700 "$tmp"
setfacl -m "u:$uid:rx" "$tmp"
setcap "$rights" "$tmp"
mv -f "$tmp" "$dir/tarrow-capture-helper"
trap - EXIT
'

# A rebuilt helper needs a new copy, so this is checked on every start.
copy_is_current() {
  local caps
  "${as_user[@]}" cmp -s "$helper" "$granted" && caps=$(/sbin/getcap "$granted" 2>/dev/null) &&
    [[ $caps == *cap_net_raw* && $caps == *cap_bpf* && $caps == *cap_perfmon* ]]
}
if ! copy_is_current; then
  echo "Granting the right to open packet sockets and to name the program behind each query ($rights)"
  echo "to a root-owned copy of the capture helper"
  echo "that only $user_name may run${as_root:+ (sudo)}: $granted"
  if ! "${as_user[@]}" cat -- "$helper" | "${as_root[@]}" sh -c "$grant_copy" grant "$granted_dir" "$uid" "$rights"; then
    echo "The capture right was not granted; Tarrow starts without it." >&2
  fi
fi

if [ $watch -eq 1 ]; then
  # The terminal's own environment; only the program runs as the user.
  exec "${as_user[@]}" "$build_dir/watch/tarrow-watch" "${watch_args[@]}"
fi
if [ "$user_name" = root ]; then
  echo "Starting Tarrow as root (it gives up its capabilities): no other user started this script." >&2
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
