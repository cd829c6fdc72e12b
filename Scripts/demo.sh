#!/usr/bin/env bash
# Installs what the build needs, builds the tool and runs it on the bundled recording.
# Usage: Scripts/demo.sh [AUDIO]   (default: Resources/demo/hello.wav)
# The document is written to build/demo-output.json and shown afterwards.
# No trained recognition models ship yet: the demo writes the scripted fixture model set
# (the one the tests use) into build/demo-models/asr and recognises with it, so the tokens
# mark bursts of speech as " [speech]" rather than spelling out words.
set -euo pipefail
cd "$(dirname "$0")/.."

Scripts/install-deps.sh
Scripts/build.sh

input="${1:-Resources/demo/hello.wav}"
output=build/demo-output.json
asr_models=build/demo-models/asr
build/bin/tervane_make_fixture_models "$asr_models"
build/bin/vexora_transcribe \
  --asr-models "$asr_models" \
  --diarizer-models Resources/models/diarizer \
  --file "$input" \
  --output "$output"
echo "wrote $output:"
cat "$output"
echo
