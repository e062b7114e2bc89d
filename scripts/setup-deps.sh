#!/usr/bin/env bash
# Installs the Debian 12 packages Ambrel needs to build, run and test.
# Only missing packages are installed; uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git dpkg-dev
  libspeex-dev libspeexdsp-dev libgsm1-dev libspandsp-dev
  libopus-dev
  libpulse-dev libasound2-dev libsndfile1-dev libavahi-client-dev libsodium-dev
  qt6-base-dev libxcb1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libwebrtc-audio-processing-dev
)
test_packages=(
  pulseaudio pulseaudio-utils libasound2-plugins sox libsox-fmt-all espeak-ng
  xvfb imagemagick clang libclang-rt-14-dev python3 python3-numpy iproute2 nftables
  avahi-daemon dbus man-db groff-base pipewire pipewire-pulse wireplumber
)

want=("${packages[@]}")
if [ "${1:-}" = "--test" ]; then want+=("${test_packages[@]}"); fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${missing[@]}"
