#!/usr/bin/env bash
# Installs the Debian packages Tarrow needs, non-interactively and only those that are missing.
#   install-deps.sh run    what building and starting the program needs
#   install-deps.sh test   that, plus what the tests, sanitizer builds, fuzzer and benchmarks need
set -euo pipefail

run_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-gtk-platformtheme libgl-dev
  libcap2-bin libcap-dev libseccomp-dev acl xdg-utils fonts-dejavu-core
  # tarrow-watch reads pcap files through libpcap, draws --top through ncurses; its man page is
  # made by help2man.
  libpcap-dev libncurses-dev help2man
  # The program that names the sender of each local query: compiled for BPF by clang, embedded
  # by bpftool, loaded through libbpf.
  libbpf-dev libbpf1 bpftool clang
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format-14
  libqt6svg6
  xvfb xauth x11-utils
  at-spi2-core dbus-daemon python3-pyatspi
  iproute2 procps util-linux tmux
  dnsmasq-base dnsperf tcpdump dnsutils knot-dnsutils tcpreplay tshark dnstop
  # The TLS servers and clients of the encrypted DNS tests.
  openssl curl python3
  locales
  dpkg-dev desktop-file-utils appstream file
  # The format fuzzer checks that every JSON line parses.
  nlohmann-json3-dev
  # BIND serves the zones whose answers tarrow-watch must write as dig does.
  bind9
)

wanted=("${run_packages[@]}")
if [ "${1:-test}" = test ]; then
  wanted+=("${test_packages[@]}")
fi

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether to make dumpcap setuid: no, and without asking.
echo "wireshark-common wireshark-common/install-setuid boolean false" | "${sudo[@]}" debconf-set-selections
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
# BIND is only the tests' server, started by them in a namespace of their own: its package's
# service would hold port 53 on every interface, loopback too.
if [[ " ${missing[*]} " == *" bind9 "* ]] && [ -d /run/systemd/system ]; then
  "${sudo[@]}" systemctl disable --now named.service >/dev/null 2>&1 || true
fi
