#!/usr/bin/env bash
# Installs the Debian packages Jaunvel needs to build, run and test, where
# they are missing. Needs root or sudo.
set -euo pipefail

packages=(
  cmake g++ make pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev nlohmann-json3-dev libjson-glib-dev libx11-dev
  libwebkit2gtk-4.1-dev
  xvfb xauth xdotool xclip x11-utils x11-apps imagemagick
  fonts-noto-cjk
  chromium python3-gi gir1.2-webkit2-4.1
  lame
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
# Waits for another package manager run to finish instead of failing.
lock=(-o DPkg::Lock::Timeout=900)
$sudo apt-get "${lock[@]}" update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y -qq "${missing[@]}" >/dev/null
