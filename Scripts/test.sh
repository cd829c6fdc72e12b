#!/usr/bin/env bash
# Installs what the build needs, builds everything and runs the whole test suite.
# Usage: Scripts/test.sh [--sanitize|--tsan]   (--sanitize: AddressSanitizer + UBSan build in
# build-asan/; --tsan: ThreadSanitizer build in build-tsan/, with libtorch's and OpenMP's own
# reports suppressed by Tests/tsan.supp)
set -euo pipefail
cd "$(dirname "$0")/.."

Scripts/install-deps.sh
Scripts/build.sh "$@"

build_dir=build
[ "${1:-}" = "--sanitize" ] && build_dir=build-asan
if [ "${1:-}" = "--tsan" ]; then
  build_dir=build-tsan
  export TSAN_OPTIONS="suppressions=$PWD/Tests/tsan.supp ${TSAN_OPTIONS:-}"
fi
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
