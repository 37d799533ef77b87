#!/usr/bin/env bash
# Builds the Debian package, installs it, and checks that an unprivileged member of the group
# tarrow captures through the installed helper while anyone else is refused. Removes the package
# and the group afterwards. Needs root; without it, says so and exits 0.
#   package-test.sh [BUILD-DIR]        (default build-deb)
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: skipped (installing a package and switching users need root)"
  exit 0
fi
if dpkg-query -W -f='${Status}' tarrow 2>/dev/null | grep -q "install ok installed"; then
  echo "package-test: a tarrow package is already installed here; remove it first (dpkg --purge tarrow)" >&2
  echo "package-test: 0 passed, 1 failed"
  exit 1
fi

build_dir=${1:-build-deb}
group_existed=0
getent group tarrow >/dev/null && group_existed=1
service_user=tarrow-watch
service_user_existed=0
getent passwd "$service_user" >/dev/null && service_user_existed=1
work=$(mktemp -d /tmp/tarrow-package-test.XXXXXX)
chmod 0755 "$work"
# The live installs need a prefix that only root can change, which /tmp is not.
live_dir=$(mktemp -d /run/tarrow-package-test.XXXXXX)
passed=0
failed=0
# What the checks of start.sh --revoke and of a dpkg-statoverride make, for cleanup to remove.
granted_base=/usr/local/libexec/tarrow-start
made_dirs=()
for d in "$granted_base" /usr/local/libexec; do [ -e "$d" ] || made_dirs+=("$d"); done
fake_copies=()
revoke_user=tarrow-revoke-test
revoke_user_made=0
# An ordinary user with a home of its own, where its captures are counted.
probe_user=tarrow-probe-test
probe_user_made=0
# Another person beside it, whose lookups the probe user's capture must not show.
other_user=tarrow-other-test
other_user_made=0
override_added=0

cleanup() {
  if dpkg-query -W -f='${Status}' tarrow 2>/dev/null | grep -q "ok installed\|config-files"; then
    dpkg --purge tarrow >/dev/null 2>&1
  fi
  if [ $service_user_existed -eq 0 ] && getent passwd "$service_user" >/dev/null; then
    userdel "$service_user"
  fi
  if [ $group_existed -eq 0 ] && getent group tarrow >/dev/null; then
    groupdel tarrow
  fi
  [ $override_added -eq 0 ] || dpkg-statoverride --remove "$helper"
  for u in "${fake_copies[@]}"; do rm -rf "${granted_base:?}/$u"; done
  [ $revoke_user_made -eq 0 ] || userdel "$revoke_user"
  [ $probe_user_made -eq 0 ] || userdel -r "$probe_user" 2>/dev/null
  [ $other_user_made -eq 0 ] || userdel -r "$other_user" 2>/dev/null
  # Qt's stand-in for the probe user's missing XDG_RUNTIME_DIR.
  rm -rf "/tmp/runtime-$probe_user"
  for d in "${made_dirs[@]}"; do rmdir "$d" 2>/dev/null; done
  rm -rf "$work" "$live_dir"
}
trap cleanup EXIT

# check DESCRIPTION COMMAND...: one result line; the command's output only when it fails.
check() {
  local what=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
    sed 's/^/    /' "$work/out"
  fi
}

# The window's WM_CLASS (instance, class) under Xvfb must hold the entry's StartupWMClass, or an X11
# task bar does not put the window with its launcher.
window_class_in_entry() {
  local wanted
  wanted=$(sed -n 's/^StartupWMClass=//p' "/usr/share/applications/$app_id.desktop")
  timeout 60 xvfb-run -a -s "-screen 0 1024x768x24" env QT_QPA_PLATFORM=xcb sh -c '
    /usr/bin/tarrow & pid=$!
    for i in $(seq 100); do xprop -name Tarrow WM_CLASS 2>/dev/null | grep "^WM_CLASS" && break; sleep 0.1; done
    kill $pid' >"$work/wm_class" 2>/dev/null
  echo "StartupWMClass=$wanted; window: $(cat "$work/wm_class")"
  [ -n "$wanted" ] && grep -q "\"$wanted\"" "$work/wm_class"
}

finish() {
  echo "package-test: $passed passed, $failed failed"
  [ $failed -eq 0 ]
  exit $?
}

tools=(dpkg-dev desktop-file-utils appstream file xvfb xauth x11-utils systemd)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The packaged programs know only the installed helper; CaptureAsUser is built the same way, so
# a capture it makes can only have come through the installed helper.
build() {
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARROW_HELPER_FROM_BUILD_TREE=OFF -DTARROW_BUILD_BENCH=OFF -DTARROW_BUILD_TESTS=ON &&
    cmake --build "$build_dir" --target tarrow tarrow-capture-helper tarrow-watch CaptureAsUser \
      $(grep -q '^build tarrow-watch-man:' "$build_dir/build.ninja" && echo tarrow-watch-man) &&
    rm -f "$build_dir"/tarrow_*.deb &&
    (cd "$build_dir" && cpack -G DEB)
}
check "the Debian package builds" build
deb=$(ls "$build_dir"/tarrow_*_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || finish
deb=$(realpath "$deb")
# What the build says it installs, rather than a second copy of it here.
build_fact() { sed -n "s/^$1=//p" "$build_dir/facts.env"; }
version=$(build_fact TARROW_VERSION)
app_id=$(build_fact TARROW_APP_ID)
helper=$(build_fact TARROW_HELPER_INSTALLED)

check "control: name, version, Recommends, library dependencies" bash -c "
  dpkg-deb -f '$deb' Package Version Recommends Depends | tee /dev/stderr |
    grep -q '^Package: tarrow' && dpkg-deb -f '$deb' Version | grep -qxF '$version' &&
    dpkg-deb -f '$deb' Recommends | grep -q xdg-utils && dpkg-deb -f '$deb' Depends | grep -q libqt6widgets6"
check "the package installs" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb"
dpkg-query -W -f='${Status}' tarrow 2>/dev/null | grep -q "install ok installed" || finish

files=(/usr/bin/tarrow /usr/bin/tarrow-watch /usr/share/man/man1/tarrow-watch.1.gz "$helper" "/usr/share/applications/$app_id.desktop" "/usr/share/metainfo/$app_id.metainfo.xml"
  /usr/share/icons/hicolor/scalable/apps/tarrow.svg /usr/lib/systemd/system/tarrow-watch@.service
  /usr/share/bash-completion/completions/tarrow-watch /usr/share/tarrow/doh-resolvers.txt)
for size in 16 24 32 48 64 128 256; do
  files+=("/usr/share/icons/hicolor/${size}x${size}/apps/tarrow.png")
done
check "installed files are in place" ls -l "${files[@]}"
# getcap lists them in the kernel's order.
rights_shown=' cap_net_raw,cap_perfmon,cap_bpf=p$'
check "only the helper holds capabilities: cap_net_raw, cap_bpf and cap_perfmon, permitted" bash -c "
  getcap '$helper' | tee /dev/stderr | grep -q '$rights_shown' && [ -z \"\$(getcap /usr/bin/tarrow)\" ]"
check "the helper is root:tarrow, mode 0750" bash -c "stat -c '%U:%G %a' '$helper' | tee /dev/stderr | grep -qx 'root:tarrow 750'"
check "the program's libraries resolve" bash -c "! ldd /usr/bin/tarrow /usr/bin/tarrow-watch | grep 'not found'"
check "tarrow-watch holds no capability, links no Qt, and its man page reads" bash -c "
  [ -z \"\$(getcap /usr/bin/tarrow-watch)\" ] && ! ldd /usr/bin/tarrow-watch | grep -q libQt &&
    /usr/bin/tarrow-watch --version | grep -qxF 'tarrow-watch $version' && zcat /usr/share/man/man1/tarrow-watch.1.gz | grep -q 'new\\\\-only'"
check "desktop entry validates" desktop-file-validate "/usr/share/applications/$app_id.desktop"
check "AppStream metainfo validates" appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml"
check "the window's WM_CLASS names the installed entry's StartupWMClass" window_class_in_entry

unit=/usr/lib/systemd/system/tarrow-watch@.service
# verify wants an instance; a link named like one loads the template as systemd would.
check "the service's unit verifies, runs the installed tarrow-watch, and nothing enables it" bash -c "
  ln -sf '$unit' '$work/tarrow-watch@lo.service' && systemd-analyze verify --man=no '$work/tarrow-watch@lo.service' &&
    grep -qx 'ExecStart=/usr/bin/tarrow-watch --interface %i --format json' '$unit' &&
    [ -z \"\$(find /etc/systemd -name 'tarrow-watch@*' | tee /dev/stderr)\" ]"
check "the service's user: in tarrow, no shell, no home, no capability in the unit's bounding set but the helper's" bash -c "
  getent passwd $service_user | tee /dev/stderr | grep -q ':/nonexistent:/usr/sbin/nologin$' &&
    [ \"\$(id -gn $service_user)\" = tarrow ] &&
    grep -qx 'CapabilityBoundingSet=CAP_NET_RAW CAP_BPF CAP_PERFMON' '$unit'"
# Anything that sets no_new_privs leaves the helper without the rights its file holds (the unit's
# head says why); the check below shows the refusal.
unit_sets_no_new_privs() {
  grep -E '^(NoNewPrivileges=(yes|true|on|1)|(SystemCallFilter|SystemCallArchitectures|SystemCallLog|RestrictAddressFamilies|RestrictNamespaces|RestrictRealtime|RestrictSUIDSGID|LockPersonality|MemoryDenyWriteExecute|PrivateDevices|ProtectClock|ProtectHostname|ProtectKernelTunables|ProtectKernelModules|ProtectKernelLogs|DynamicUser|PrivateUsers|PrivateNetwork)=)' "$1"
}
check "the unit sets nothing that implies no_new_privs, nor hides the network" bash -c "
  $(declare -f unit_sets_no_new_privs); ! unit_sets_no_new_privs '$unit'"
check "the service's exposure (systemd-analyze security --offline=yes) is at most 5.4" bash -c "
  systemd-analyze security --offline=yes '$work/tarrow-watch@lo.service' | tail -n 1 | tee /dev/stderr |
    awk '{ for (i = 1; i <= NF; i++) if (\$i ~ /^[0-9]+\\.[0-9]+\$/) found = \$i } END { exit !(found != \"\" && found <= 5.4) }'"
# Sourced by a plain bash, as bash-completion's loader sources it.
completion_works() (
  # shellcheck disable=SC1091
  source /usr/share/bash-completion/completions/tarrow-watch && complete -p tarrow-watch | grep -q _tarrow_watch || exit 1
  t() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _tarrow_watch
    echo "$*: ${COMPREPLY[*]}" >&2
    echo "${COMPREPLY[*]}"
  }
  [ "$(t tarrow-watch --for)" = --format ] && [ "$(t tarrow-watch --format = j)" = json ] &&
    [ "$(t tarrow-watch -F "")" = "text tsv csv json" ] && t tarrow-watch --interface "" | grep -qw lo &&
    [ "$(t tarrow-watch -r /usr/bin/tarrow-wa)" = /usr/bin/tarrow-watch ]
)
check "bash completes tarrow-watch's options, formats, interfaces and files" completion_works
check "the man page has EXAMPLES and RIGHTS" bash -c "
  zcat /usr/share/man/man1/tarrow-watch.1.gz | grep -E '^\\.SH \"?(EXAMPLES|RIGHTS)' | tee /dev/stderr | wc -l | grep -qx 2"

probe="$work/CaptureAsUser"
install -m 0755 "$build_dir/tests/capture/CaptureAsUser" "$probe"
check "the probe knows no build-tree helper" bash -c "! grep -q '$PWD/$build_dir/helper' '$probe'"
userdel -r "$probe_user" >/dev/null 2>&1
useradd --create-home --user-group "$probe_user" && probe_user_made=1
as_user=(env -i PATH=/usr/bin:/bin HOME="/home/$probe_user" setpriv --reuid="$probe_user" --regid="$probe_user"
  --inh-caps=-all)
check "a member of tarrow captures a query to 127.0.0.1:53 through the installed helper" bash -c "
  timeout 30 ${as_user[*]} --groups=tarrow '$probe' | tee /dev/stderr | grep -q '^captured '"
check "a user outside tarrow gets the failed-start text and no socket" bash -c "
  out=\$(timeout 30 ${as_user[*]} --clear-groups '$probe'); rc=\$?; echo \"\$out (exit \$rc)\" >&2
  [ \$rc -eq 2 ] && [ \"\${out%%\$'\\n'*}\" = 'start failed: socket() failed, errno=1' ]"
# Lookups send no packet that this user could capture: its own are shown, another person's are
# not, neither the name nor the program.
userdel -r "$other_user" >/dev/null 2>&1
useradd --create-home --user-group "$other_user" && other_user_made=1
lookups_of_own_user_only() {
  local out="$work/lookups.tsv"
  timeout 30 "${as_user[@]}" --groups=tarrow /usr/bin/tarrow-watch -i lo -F tsv --duration 4 >"$out" 2>&1 &
  local watch=$!
  sleep 2
  "${as_user[@]}" --clear-groups getent hosts localhost >/dev/null
  env -i PATH=/usr/bin:/bin setpriv --reuid="$other_user" --regid="$other_user" --clear-groups --inh-caps=-all \
    getent ahosts localhost >/dev/null
  wait $watch
  cat "$out" >&2
  grep -P "^lookup\t.*\tgetent\t$probe_user\t" "$out" >/dev/null && ! grep -q "$other_user" "$out" &&
    [ "$(grep -cP '^lookup\t.*\tgetent\t' "$out")" = "$(grep -cP "^lookup\t.*\tgetent\t$probe_user\t" "$out")" ]
}
check "a user's capture shows that user's lookups, and none of another person's" lookups_of_own_user_only
# The unit's sandbox as far as it bears on the capture: its user and group and nothing more, its
# bounding set, a read-only system where nothing runs but what ExecPaths names (and the probe), and
# /proc with only processes (those of others hidden). With no_new_privs, which the unit must never
# set, the helper gets no right from its file.
# The probe, and env and setpriv that start it as the service's user, run as the unit's own program would.
exec_paths="$(sed -n 's/^ExecPaths=//p' "$unit") $work /usr/bin/env /usr/bin/setpriv"
as_service() {
  timeout 30 unshare --mount --propagation private sh -c '
    mount -t proc -o subset=pid,hidepid=invisible proc /proc &&
      for path in '"$exec_paths"'; do
        [ ! -e "$path" ] || { mount --bind "$path" "$path" && mount -o remount,bind,ro,exec "$path"; } || exit 1
      done && mount -o remount,bind,ro,noexec / && exec "$@"' sh \
    env -i PATH=/usr/bin:/bin HOME=/nonexistent setpriv --reuid="$service_user" --regid=tarrow --clear-groups \
    --bounding-set=-all,+net_raw,+bpf,+perfmon --inh-caps=-all "$@"
}
service_sandbox_captures() {
  as_service "$probe" | tee /dev/stderr | grep -q '^captured ' &&
    { as_service --no-new-privs "$probe"; true; } | tee /dev/stderr | sed -n 1p | grep -qx 'start failed: socket() failed, errno=1'
}
check "in the service's sandbox its user captures through the installed helper; with no_new_privs it cannot" \
  service_sandbox_captures
check "the installed program starts as that user (offscreen, stopped after 3 s)" bash -c "
  timeout 3 ${as_user[*]} --groups=tarrow env QT_QPA_PLATFORM=offscreen /usr/bin/tarrow; [ \$? -eq 124 ]"

# said COMMAND...: runs COMMAND, leaves what it said in $work/said for grep, and shows it.
said() {
  local rc=0
  "$@" >"$work/said" 2>&1 || rc=$?
  cat "$work/said" >&2
  return $rc
}
# grant_in PREFIX [COMMAND...]: the grant of a root cmake --install into PREFIX as a live prefix,
# run through COMMAND (env, say). What it said is in $work/said.
grant_in() {
  local prefix=$1
  shift
  said "$@" cmake -DCMAKE_INSTALL_PREFIX="$prefix" -DTARROW_LIVE_PREFIX="$prefix" -P "$build_dir/GrantCaptureRight.cmake"
}

# cmake --install as root into the prefix the build was made for: the same rights as the package,
# setuid and setgid bits gone, or none at all when a step fails (here setcap, left out of PATH).
live_install() {
  local prefix=$live_dir/live helper_copy=$live_dir/live/libexec/tarrow/tarrow-capture-helper
  mkdir -p "$prefix/libexec/tarrow"
  install -m 6755 "$(build_fact TARROW_HELPER_BUILT)" "$helper_copy"
  setcap cap_net_raw+ep "$helper_copy"
  grant_in "$prefix" &&
    stat -c '%U:%G %a' "$helper_copy" | tee /dev/stderr | grep -qx 'root:tarrow 750' &&
    getcap "$helper_copy" | tee /dev/stderr | grep -q "$rights_shown" &&
    grant_in "$prefix" env PATH=/usr/bin:/bin &&
    [ -z "$(getcap "$helper_copy")" ] && grep -q "sudo setcap cap_net_raw,cap_bpf,cap_perfmon=p $helper_copy" "$work/said"
}
check "a live root cmake --install grants as the package does, and nothing when a step fails" live_install

# A helper that is a link (here to a root-only file), or that lies in a folder its group may
# write: nothing is granted, and nothing changes, least of all the file the link points to.
live_install_refused() {
  local link=$live_dir/link open=$live_dir/open target=$live_dir/root-only
  mkdir -p "$link/libexec/tarrow" "$open/libexec/tarrow" && chmod 0775 "$open/libexec/tarrow" &&
    install -m 0600 /bin/true "$target" && ln -s "$target" "$link/libexec/tarrow/tarrow-capture-helper" &&
    install -m 0755 /bin/true "$open/libexec/tarrow/tarrow-capture-helper" &&
    grant_in "$link" && grep -q "Nothing was granted: .* is a symbolic link" "$work/said" &&
    grant_in "$open" && grep -q "Nothing was granted: $open/libexec/tarrow is not a folder that only root" "$work/said" &&
    [ "$(stat -c '%U:%G %a' "$target" "$open/libexec/tarrow/tarrow-capture-helper" | tee /dev/stderr)" = \
      "$(printf 'root:root 600\nroot:root 755')" ] &&
    [ -z "$(getcap "$target" "$open/libexec/tarrow/tarrow-capture-helper")" ]
}
check "a live root cmake --install grants nothing to a linked helper or one in a folder others may write" live_install_refused

# grant_fake_copy UID: a copy as start.sh grants it (root's, runnable by UID alone, with the right),
# of /bin/true: --revoke must work without a build.
grant_fake_copy() {
  (umask 022 && mkdir -p "$granted_base/$1") && fake_copies+=("$1") &&
    install -m 0700 /bin/true "$granted_base/$1/tarrow-capture-helper" &&
    setfacl -m "u:$1:rx" "$granted_base/$1/tarrow-capture-helper" &&
    setcap cap_net_raw+ep "$granted_base/$1/tarrow-capture-helper"
}
revoke_removes_orphans() {
  local orphan=61000
  while getent passwd "$orphan" >/dev/null; do orphan=$((orphan + 1)); done
  useradd --system --no-create-home --shell /usr/sbin/nologin "$revoke_user" && revoke_user_made=1 &&
    grant_fake_copy "$(id -u "$revoke_user")" && grant_fake_copy "$orphan" &&
    said env -u SUDO_USER -u PKEXEC_UID scripts/start.sh --revoke &&
    [ ! -e "$granted_base/$orphan" ] && getcap "$granted_base/$(id -u "$revoke_user")/tarrow-capture-helper" | grep -q cap_net_raw
}
check "start.sh --revoke removes the copies whose uid has no account, and no other" revoke_removes_orphans
revoke_removes_users_copy() {
  said env -u PKEXEC_UID SUDO_USER="$revoke_user" scripts/start.sh --revoke && grep -q "^Removed" "$work/said" &&
    [ ! -e "$granted_base/$(id -u "$revoke_user")" ] &&
    said env -u PKEXEC_UID SUDO_USER="$revoke_user" scripts/start.sh --revoke && grep -q "^Nothing to revoke" "$work/said"
}
check "start.sh --revoke for SUDO_USER removes that user's copy and its folder, then finds nothing" revoke_removes_users_copy

check "the package purges" dpkg --purge tarrow
check "nothing is left behind" bash -c "
  for f in ${files[*]}; do [ ! -e \"\$f\" ] || { echo \"left: \$f\"; exit 1; }; done
  [ ! -d '$(dirname "$helper")' ] && [ ! -e /var/lib/tarrow ] && { [ $group_existed -eq 1 ] || ! getent group tarrow; } &&
    { [ $service_user_existed -eq 1 ] || ! getent passwd $service_user; }"

# A group tarrow that the package found is not the package's to remove.
group_outlives_purge() {
  getent group tarrow >/dev/null || groupadd --system tarrow
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null &&
    [ ! -e /var/lib/tarrow/group-created ] && dpkg --purge tarrow >/dev/null && getent group tarrow
}
check "a group tarrow that was there before the package outlives its purge" group_outlives_purge

# override_refused MODE WHY: an administrator's dpkg-statoverride (root:root MODE) that postinst
# must not grant the right under: it grants nothing and says WHY.
override_refused() {
  dpkg-statoverride --add root root "$1" "$helper" && override_added=1 &&
    said env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" &&
    grep -q "not given its capabilities (cap_net_raw,cap_bpf,cap_perfmon=p): .*$2" "$work/said" &&
    stat -c '%U:%G %a' "$helper" | tee /dev/stderr | grep -qx "root:root ${1#0}" && [ -z "$(getcap "$helper")" ] &&
    dpkg-statoverride --remove "$helper" && override_added=0 && dpkg --purge tarrow >/dev/null
}
check "postinst grants no right to a helper that a dpkg-statoverride lets everyone run" override_refused 0755 \
  "every user may run it"
check "postinst grants no right to a helper that a dpkg-statoverride makes setuid root" override_refused 4750 \
  "it is setuid or setgid"
finish
