#!/usr/bin/env bash
# Real encoders' delays, found by vorik-check through a pipe: ffmpeg's AAC
# encoder written as a raw ADTS stream keeps its 1024 priming samples, and an
# MP3 written without its LAME tag decodes 1105 samples late. The original is
# pink noise under a tone sweep, which fits one delay only.
#   codec_delays.sh VORIK_CHECK WORK_DIR
set -euo pipefail
check=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
sox -n -b 16 -r 44100 -c 2 original.wav synth 8 pinknoise synth 8 sine mix 300-2000 vol 0.5

failed=0
# codec, expected delay, the encoder's options, the stream's format written and read
for row in "raw AAC|1024|-c:a aac -b:a 128k|adts|aac" "MP3 without its tag|1105|-c:a libmp3lame -b:a 128k -write_xing 0|mp3|mp3"; do
  IFS="|" read -r name expected options written read <<<"$row"
  # shellcheck disable=SC2086  # the options are words
  summary=$(ffmpeg -v error -i original.wav $options -f "$written" - |
    ffmpeg -v error -f "$read" -i - -f wav - |
    "$check" --json --align --min-psnr 30 original.wav -) || { echo "$name: vorik-check failed"; failed=1; continue; }
  if [[ $summary != *"\"delay\":$expected,"* || $summary != *'"verdict":"pass"'* ]]; then
    echo "$name: expected delay $expected and a pass, got: $summary"
    failed=1
  else
    echo "$name: delay $expected found, passed"
  fi
done
exit $failed
