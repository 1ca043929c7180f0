#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail
# libavformat/libavcodec/libswscale: the media source plug-in and the host
# simulator's recording; the ffmpeg command (with ffprobe) makes and checks
# the tests' media.
packages=(cmake ninja-build g++ pkg-config libfmt-dev libswresample-dev libavutil-dev libmd-dev
          libavformat-dev libavcodec-dev libswscale-dev ffmpeg
          libgtest-dev libgmock-dev libpng-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
