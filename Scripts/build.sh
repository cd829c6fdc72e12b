#!/usr/bin/env bash
# Configures and builds Tervane into build/ (build-asan/ with --sanitize, build-tsan/ with --tsan).
# Usage: Scripts/build.sh [--sanitize|--tsan] [extra CMake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  shift
  build_dir=build-asan
  cmake_args+=(-DTERVANE_SANITIZE=ON)
elif [ "${1:-}" = "--tsan" ]; then
  shift
  build_dir=build-tsan
  cmake_args+=(-DTERVANE_SANITIZE_THREAD=ON)
fi

cmake -G Ninja -S . -B "$build_dir" "${cmake_args[@]}" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
