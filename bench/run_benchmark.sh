#!/usr/bin/env bash
# Times vorik on large WAV files against the floor of reading them with cat,
# and against what a user would otherwise reach for (sox, numpy) where those
# are installed; then vorik-check against vorik. Everything is measured in this one run, with the tool and
# cat taking turns, on files in each state the page cache holds them in: just
# written, on a memory file system, read back from disk, and evicted (read
# from the disk itself); for two sizes of file, and pinned to one core.
#
# Usage: bench/run_benchmark.sh [MIB_PER_FILE [RUNS]]   (defaults: 1024 and 5)
# Evicting a file from the page cache needs GNU dd; peak memory needs GNU time
# (Debian: `time`); pinning needs taskset (Debian: `util-linux`).
set -euo pipefail

mib_per_file=${1:-1024}
runs=${2:-5}
readonly SMALL_MIB=64
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-bench"

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORIK_BUILD_TESTS=OFF -DVORIK_BUILD_CHECK=ON >/dev/null
cmake --build "$build" -j2 --target vorik vorik-check make_examples >/dev/null

# On the disk the build is on: /tmp may be a memory file system.
work=$(mktemp -d "$build/benchmark-files.XXXXXX")
memory_work=""
cleanup() { rm -rf "$work" ${memory_work:+"$memory_work"}; }
trap cleanup EXIT

# 44.1 kHz stereo 16-bit: 176400 bytes a second.
readonly BYTES_PER_SECOND=176400
# FOLDER MIB [noise]: a pair of files of MIB each.
make_pair() {
    mkdir -p "$1"
    "$build/make_examples" "$1" $(( $2 * 1048576 / BYTES_PER_SECOND )) ${3:+"$3"}
}
make_pair "$work/large" "$mib_per_file"
# Two unrelated full-scale noises of the same size: the meter's heaviest load,
# whose totals pass 2^53 after about five minutes.
make_pair "$work/large" "$mib_per_file" noise
make_pair "$work/small" "$SMALL_MIB"

# Wall seconds of one run of a command, its output thrown away.
wall_seconds() {
    local start end
    start=$(date +%s%N)
    "$@" </dev/null >/dev/null 2>&1
    end=$(date +%s%N)
    awk -v ns=$(( end - start )) 'BEGIN { printf "%.4f", ns / 1e9 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'; }

peak_rss_mib() {
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%M' "$@" </dev/null 2>&1 >/dev/null | tail -n 1 | awk '{ printf "%.1f", $1 / 1024 }'
    else
        printf 'n/a'
    fi
}

# A file just written is dirty in the page cache, and only clean pages can be
# evicted: it is written out first.
evict() {
    local file
    for file in "$@"; do
        sync "$file"
        dd if="$file" iflag=nocache count=0 status=none
    done
}

evict_then_read_back() {
    local file
    evict "$@"
    for file in "$@"; do
        cat "$file" >/dev/null
    done
}

# What runs before each timed run of a row, given its two files: nothing, or
# the eviction of the files. And what each run of a row runs under: nothing,
# or a pinning to one core.
before_each=true
pin=()

# What a row's command is held against, given the same two files: cat
# reading them, unless a table sets another.
baseline=(cat)

# One row: a command and the baseline on the same two files, taking turns
# RUNS times; the ratio is the median of the ratios of each turn.
row() {
    local label=$1 first=$2 second=$3
    shift 3
    local tool_times=() cat_times=() ratios=()
    for _ in $(seq "$runs"); do
        local c t
        "$before_each" "$first" "$second"
        c=$(wall_seconds ${pin[@]+"${pin[@]}"} "${baseline[@]}" "$first" "$second")
        "$before_each" "$first" "$second"
        t=$(wall_seconds ${pin[@]+"${pin[@]}"} "$@" "$first" "$second")
        cat_times+=("$c")
        tool_times+=("$t")
        ratios+=("$(awk -v t="$t" -v c="$c" 'BEGIN { printf "%.4f", t / c }')")
    done
    printf '| %s | %s | %s | %s | %s |\n' "$label" \
        "$(printf '%s\n' "${tool_times[@]}" | median)" "$(printf '%s\n' "${cat_times[@]}" | median)" \
        "$(printf '%s\n' "${ratios[@]}" | median | awk '{ printf "%.2f", $1 }')" \
        "$(peak_rss_mib ${pin[@]+"${pin[@]}"} "$@" "$first" "$second")"
}

# The rows of one pair of files: each state of the page cache in turn, for
# the command after the two arguments (vorik unless given).
state_rows() {
    local size=$1 folder=$2
    shift 2
    local command=("${@:-$build/vorik}")
    local original="$folder/chord.wav" copy="$folder/chord_noisy.wav"
    row "$size, just written" "$original" "$copy" "${command[@]}"
    if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -gt $(( 3 * mib_per_file * 1024 )) ]; then
        memory_work=$(mktemp -d /dev/shm/vorik-benchmark.XXXXXX)
        cp "$original" "$copy" "$memory_work/"
        row "$size, on /dev/shm (tmpfs)" "$memory_work/chord.wav" "$memory_work/chord_noisy.wav" "${command[@]}"
        rm -rf "$memory_work"
        memory_work=""
    else
        echo "| $size, on /dev/shm | no room | | | |"
    fi
    evict_then_read_back "$original" "$copy"
    row "$size, read back from disk" "$original" "$copy" "${command[@]}"
    before_each=evict
    row "$size, evicted: read from the disk" "$original" "$copy" "${command[@]}"
    before_each=true
}

# Each command below is given the two files as its last two arguments.
# The difference signal, original minus copy, into sox's statistics.
sox_difference=(bash -c 'sox -m -v 1 "$1" -v -1 "$2" -n stats' sox_difference)

numpy_python=""
for candidate in python3 /usr/bin/python3; do
    if command -v "$candidate" >/dev/null && "$candidate" -c 'import numpy' 2>/dev/null; then
        numpy_python=$candidate
        break
    fi
done
# The same two values the tool prints last, one 16 Mi-sample slice at a time.
numpy_psnr=("$numpy_python" -c '
import sys, numpy as np
a = np.memmap(sys.argv[1], dtype="<i2", mode="r", offset=44)
b = np.memmap(sys.argv[2], dtype="<i2", mode="r", offset=44)
n = min(a.size, b.size) // 2 * 2
sums = np.zeros(2)
step = 1 << 24
for i in range(0, n, step):
    d = a[i:min(i + step, n)].astype(np.int64) - b[i:min(i + step, n)]
    sums += (d * d).reshape(-1, 2).sum(axis=0)
with np.errstate(divide="ignore"):
    psnr = np.where(sums == 0, 333.0, 20 * np.log10(65535 / np.sqrt(sums / (n // 2))))
print("L%8.3fdB | R%8.3fdB" % tuple(psnr))
')

echo
echo "Pairs of $mib_per_file MiB and of $SMALL_MIB MiB a file (a long chord, and the same chord with a"
echo "little noise), and two unrelated noises; medians of $runs turns each, $(nproc) cores"
echo
echo "| files | vorik (s) | cat (s) | vorik / cat | vorik's peak RSS (MiB) |"
echo "|---|---|---|---|---|"
state_rows "$mib_per_file MiB" "$work/large"
noises=("$work/large/noise_first.wav" "$work/large/noise_second.wav")
evict_then_read_back "${noises[@]}"
row "$mib_per_file MiB, read back, two unrelated full-scale noises (past 2^53)" "${noises[@]}" "$build/vorik"
original="$work/large/chord.wav"
copy="$work/large/chord_noisy.wav"
evict_then_read_back "$original" "$copy"
pin=(taskset -c 0)
row "$mib_per_file MiB, read back, both pinned to one core" "$original" "$copy" "$build/vorik"
pin=()
state_rows "$SMALL_MIB MiB" "$work/small"
row "the 2-second examples" "$repo/examples/chord.wav" "$repo/examples/chord_noisy.wav" "$build/vorik"

evict_then_read_back "$original" "$copy"
echo
echo "Other tools, on the $mib_per_file MiB files read back from disk:"
echo
echo "| command | time (s) | cat (s) | × cat | peak RSS (MiB) |"
echo "|---|---|---|---|---|"
if command -v sox >/dev/null; then
    row "sox -m, one file inverted, stats" "$original" "$copy" "${sox_difference[@]}"
else
    echo "| sox | not installed | | | |"
fi
if [ -n "$numpy_python" ]; then
    row "numpy, memory-mapped, 16 Mi-sample slices" "$original" "$copy" "${numpy_psnr[@]}"
else
    echo "| numpy | not installed | | | |"
fi
echo
echo "vorik's last line: $("$build/vorik" "$original" "$copy" </dev/null 2>/dev/null | tr '\r' '\n' | tail -n 1)"
if [ -n "$numpy_python" ]; then
    echo "numpy's values:    $("${numpy_psnr[@]}" "$original" "$copy")"
fi

# --- vorik-check against vorik ---------------------------------------------------
baseline=("$build/vorik")
check="$build/vorik-check"
echo
echo "vorik-check against vorik on the same files, taking turns; medians of $runs turns each"
echo
echo "| files | vorik-check (s) | vorik (s) | vorik-check / vorik | vorik-check's peak RSS (MiB) |"
echo "|---|---|---|---|---|"
state_rows "$mib_per_file MiB, --json" "$work/large" "$check" --json
state_rows "$mib_per_file MiB, --csv" "$work/large" "$check" --csv
evict_then_read_back "${noises[@]}"
row "$mib_per_file MiB, --json, read back, two unrelated full-scale noises" "${noises[@]}" "$check" --json

# An hour of 44.1 kHz stereo: what the delay search adds, and the memory.
make_pair "$work/hour" $(( 3600 * BYTES_PER_SECOND / 1048576 + 1 ))
hour=("$work/hour/chord.wav" "$work/hour/chord_noisy.wav")
evict_then_read_back "${hour[@]}"
baseline=("$check" --json --delay 0)
echo
echo "An hour of stereo, read back from disk: the delay search against none"
echo
echo "| command | time (s) | --delay 0 (s) | ratio | peak RSS (MiB) |"
echo "|---|---|---|---|---|"
row "vorik-check --json --align" "${hour[@]}" "$check" --json --align
row "vorik-check --json (searches, measures at 0)" "${hour[@]}" "$check" --json
# Standard input: the copy through a pipe, against the pipe alone.
baseline=(sh -c 'cat "$2" | wc -c' cat_wc)
echo
echo "The copy through a pipe, against cat COPY | wc -c"
echo
echo "| command | time (s) | cat and wc -c (s) | ratio | peak RSS (MiB) |"
echo "|---|---|---|---|---|"
row "vorik-check --json ORIGINAL -, the copy of an hour through cat" "${hour[@]}" \
    sh -c 'cat "$2" | "$0" --json "$1" -' "$check"
