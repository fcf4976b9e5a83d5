#!/usr/bin/env bash
# Makes the picture that the README and the manual page show: make_examples
# writes a tune and a coded copy of it that breaks down for two seconds, and
# vorik-check --plot draws them, against two limits that the breakdown fails.
# Every run writes the same bytes.
#   tools/make_plot_example.sh BUILD_DIR [PICTURE]
# PICTURE is doc/plot_example.svg unless given.
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [PICTURE]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
picture=${2:-$root/doc/plot_example.svg}
picture=$(cd "$(dirname "$picture")" && pwd)/$(basename "$picture")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/make_examples" "$work" 40 music
# In the folder of the files, so that the picture names them without a path.
status=0
(cd "$work" && "$build/vorik-check" --min-second-psnr 50 --min-psnr 60 --plot "$picture" \
  music.wav music_coded.wav >/dev/null) || status=$?
# The copy fails its limits, as it is meant to: status 1.
if [ "$status" -ne 1 ]; then
  echo "$0: vorik-check ended with status $status, where the copy should fail its limits (1)" >&2
  exit 1
fi
