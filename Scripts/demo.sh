#!/usr/bin/env bash
# Installs what the build needs, builds the tool and runs it on the bundled recording.
# Usage: Scripts/demo.sh [AUDIO]   (default: Resources/demo/hello.wav)
# The document is written to build/demo-output.json and shown afterwards.
# No trained models ship yet: the demo writes the scripted fixture model sets (the ones the
# tests use) into build/demo-models/asr and build/demo-models/diarizer and runs with them, so
# the tokens mark bursts of speech as " [speech]" rather than spelling out words, and the
# speakers are told apart by the pitch bands the fixture segmentation listens to.
set -euo pipefail
cd "$(dirname "$0")/.."

Scripts/install-deps.sh
Scripts/build.sh

input="${1:-Resources/demo/hello.wav}"
output=build/demo-output.json
asr_models=build/demo-models/asr
diarizer_models=build/demo-models/diarizer
build/bin/tervane_make_fixture_models --asr "$asr_models" --diarizer "$diarizer_models"
build/bin/vexora_transcribe \
  --asr-models "$asr_models" \
  --diarizer-models "$diarizer_models" \
  --file "$input" \
  --output "$output"
echo "wrote $output:"
cat "$output"
echo
