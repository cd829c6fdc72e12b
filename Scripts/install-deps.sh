#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests, the benchmarks and the tool need.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git ccache
  # model runtime (the engine silences libtorch's glog logging through glog's own flags)
  libtorch-dev libgoogle-glog-dev
  # audio decoding and resampling
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  # vector routines
  libopenblas-dev
  # JSON, HTTP, system log, UUIDs
  nlohmann-json3-dev libcurl4-openssl-dev libsystemd-dev uuid-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # fixture audio: speech synthesis and encoders for other containers
  espeak-ng ffmpeg
)

# Nothing to do when every package is already there (keeps repeated builds fast).
all_installed() {
  local status
  status=$(dpkg-query -W -f='${Status}\n' "${packages[@]}" 2>/dev/null) || return 1
  [ "$(grep -c '^install ok installed$' <<<"$status")" -eq "${#packages[@]}" ]
}
if all_installed; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${packages[@]}"
