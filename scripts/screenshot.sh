#!/usr/bin/env bash
# Renews docs/screenshot.png and its dark twin docs/screenshot-dark.png: the real window under
# xvfb-run, capturing a few queries on loopback; the twin with GTK's dark Adwaita theme, through
# Qt's GTK platform theme. Needs root for the packet socket.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target WindowScreenshot
mkdir -p docs
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb build/bench/WindowScreenshot docs/screenshot.png
echo "wrote docs/screenshot.png"
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark \
  build/bench/WindowScreenshot docs/screenshot-dark.png
echo "wrote docs/screenshot-dark.png"
