#!/usr/bin/env bash
# Times vorik on two large WAV files against the floor of reading them with
# cat, and against what a user would otherwise reach for (sox, numpy) where
# those are installed. Everything is measured in this one run, on files in a
# warm page cache.
#
# Usage: bench/run_benchmark.sh [MIB_PER_FILE [RUNS]]   (defaults: 1024 and 5)
set -euo pipefail

mib_per_file=${1:-1024}
runs=${2:-5}
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-bench"

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vorik make_examples >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 44.1 kHz stereo 16-bit: 176400 bytes a second.
readonly BYTES_PER_SECOND=176400
seconds=$(( mib_per_file * 1048576 / BYTES_PER_SECOND ))
"$build/make_examples" "$work" "$seconds"
original="$work/chord.wav"
copy="$work/chord_noisy.wav"
for _ in 1 2; do cat "$original" "$copy" >/dev/null; done
# Two unrelated full-scale noises of the same size: the meter's heaviest load,
# whose totals pass 2^53 after about five minutes.
"$build/make_examples" "$work" "$seconds" noise
for _ in 1 2; do cat "$work/noise_first.wav" "$work/noise_second.wav" >/dev/null; done

# Median wall time in seconds of RUNS runs of a command.
median_seconds() {
    local times=()
    for _ in $(seq "$runs"); do
        local start end
        start=$(date +%s%N)
        "$@" </dev/null >/dev/null 2>&1
        end=$(date +%s%N)
        times+=($(( end - start )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.3f", t[int((NR + 1) / 2)] / 1e9 }'
}

peak_rss_mib() {
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%M' "$@" </dev/null 2>&1 >/dev/null | tail -n 1 | awk '{ printf "%.1f", $1 / 1024 }'
    else
        printf 'n/a'
    fi
}

read_both() { cat "$original" "$copy"; }
run_vorik() { "$build/vorik" "$original" "$copy"; }
# The difference signal, original minus copy, into sox's statistics.
run_sox() { sox -m -v 1 "$original" -v -1 "$copy" -n stats; }

numpy_python=""
for candidate in python3 /usr/bin/python3; do
    if command -v "$candidate" >/dev/null && "$candidate" -c 'import numpy' 2>/dev/null; then
        numpy_python=$candidate
        break
    fi
done
# The same two values the tool prints last, one 16 Mi-sample slice at a time.
run_numpy() {
    "$numpy_python" - "$original" "$copy" <<'EOF'
import sys, numpy as np
a = np.memmap(sys.argv[1], dtype='<i2', mode='r', offset=44)
b = np.memmap(sys.argv[2], dtype='<i2', mode='r', offset=44)
n = min(a.size, b.size) // 2 * 2
sums = np.zeros(2)
step = 1 << 24
for i in range(0, n, step):
    d = a[i:min(i + step, n)].astype(np.int64) - b[i:min(i + step, n)]
    sums += (d * d).reshape(-1, 2).sum(axis=0)
with np.errstate(divide='ignore'):
    psnr = np.where(sums == 0, 333.0, 20 * np.log10(65535 / np.sqrt(sums / (n // 2))))
print("L%8.3fdB | R%8.3fdB" % tuple(psnr))
EOF
}

cat_seconds=$(median_seconds read_both)
vorik_seconds=$(median_seconds run_vorik)
ratio() { awk -v t="$1" -v floor="$cat_seconds" 'BEGIN { printf "%.2f", t / floor }'; }

echo
echo "Two files of $mib_per_file MiB each, warm page cache, median of $runs runs, $(nproc) cores"
echo
echo "| command | wall time (s) | × cat | peak RSS (MiB) |"
echo "|---|---|---|---|"
echo "| cat, both files to /dev/null (the floor) | $cat_seconds | 1.00 | $(peak_rss_mib cat "$original" "$copy") |"
echo "| vorik | $vorik_seconds | $(ratio "$vorik_seconds") | $(peak_rss_mib "$build/vorik" "$original" "$copy") |"
noises_seconds=$(median_seconds "$build/vorik" "$work/noise_first.wav" "$work/noise_second.wav")
echo "| vorik, two unrelated full-scale noises | $noises_seconds | $(ratio "$noises_seconds") | $(peak_rss_mib "$build/vorik" "$work/noise_first.wav" "$work/noise_second.wav") |"
if command -v sox >/dev/null; then
    sox_seconds=$(median_seconds run_sox)
    echo "| sox -m, one file inverted, stats | $sox_seconds | $(ratio "$sox_seconds") | $(peak_rss_mib sox -m -v 1 "$original" -v -1 "$copy" -n stats) |"
else
    echo "| sox | not installed | | |"
fi
if [ -n "$numpy_python" ]; then
    numpy_seconds=$(median_seconds run_numpy)
    echo "| numpy, memory-mapped, 16 Mi-sample slices | $numpy_seconds | $(ratio "$numpy_seconds") | |"
else
    echo "| numpy | not installed | | |"
fi
echo
echo "vorik's last line: $("$build/vorik" "$original" "$copy" </dev/null 2>/dev/null | tr '\r' '\n' | tail -n 1)"
if [ -n "$numpy_python" ]; then
    echo "numpy's values:    $(run_numpy)"
fi
