#!/usr/bin/env bash
# Installs what the build needs, builds the tool and runs it on the bundled recording.
# Usage: Scripts/demo.sh [AUDIO]   (default: Resources/demo/hello.wav)
# The document is written to build/demo-output.json and shown afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

Scripts/install-deps.sh
Scripts/build.sh

input="${1:-Resources/demo/hello.wav}"
output=build/demo-output.json
build/bin/vexora_transcribe \
  --asr-models Resources/models/asr \
  --diarizer-models Resources/models/diarizer \
  --file "$input" \
  --output "$output"
echo "wrote $output:"
cat "$output"
echo
