#!/usr/bin/env bash
# Installs what Tarrow needs, builds it in build-release, gives the capture helper in that build
# the right to open packet sockets (sudo setcap), and starts Tarrow as the user who ran this,
# never as root: run through sudo, it builds and starts as $SUDO_USER.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-release
helper=$build_dir/capture/helper/tarrow-capture-helper

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

"${as_root[@]}" scripts/install-deps.sh run

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
"${as_user[@]}" cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARROW_BUILD_TESTS=OFF -DTARROW_BUILD_BENCH=OFF "${launcher[@]}"
"${as_user[@]}" cmake --build "$build_dir" --target tarrow tarrow-capture-helper

# A rebuilt helper has lost its capability, so this is checked on every start. Only its owner may
# run it: a capability on a file that anyone can run would give the right to everyone.
if ! getcap "$helper" | grep -q cap_net_raw; then
  echo "Granting the capture helper the right to open packet sockets (cap_net_raw):"
  chmod 0700 "$helper"
  echo "  sudo setcap cap_net_raw+ep $helper"
  "${as_root[@]}" setcap cap_net_raw+ep "$helper"
fi

if [ "$user_name" = root ]; then
  echo "Starting Tarrow as root: no other user started this script." >&2
  exec "$build_dir/app/tarrow"
fi
if [ ${#as_user[@]} -eq 0 ]; then
  exec "$build_dir/app/tarrow"
fi

# sudo keeps DISPLAY and XAUTHORITY; the user's Wayland and D-Bus sockets are found again here.
uid=$(id -u "$user_name")
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
