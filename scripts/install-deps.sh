#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again.
set -euo pipefail
pkgs=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev lld curl
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libpugixml-dev libplist-dev libexif-dev
  libjpeg62-turbo-dev libpng-dev libcpp-httplib-dev
  libsdbus-c++-dev libsystemd-dev dbus inotify-tools libssl-dev openssl tinyproxy-bin lintian
  prometheus prometheus-node-exporter
  qt6-base-dev libsndfile1-dev libasound2-dev xvfb xauth x11-utils xdotool
  systemd dbus-user-session util-linux passwd jq
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
