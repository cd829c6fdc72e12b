#!/usr/bin/env bash
# Installs what the build needs, builds everything and runs the whole test suite.
# Usage: Scripts/test.sh [--sanitize]   (--sanitize: AddressSanitizer + UBSan build in build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."

Scripts/install-deps.sh
Scripts/build.sh "$@"

build_dir=build
[ "${1:-}" = "--sanitize" ] && build_dir=build-asan
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
