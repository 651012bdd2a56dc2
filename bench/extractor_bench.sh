#!/usr/bin/env bash
# Decoding speed of the pinned 7za.exe (built from its source by scripts/build-7za) against 7-Zip 21.07's
# own x64 7za.exe (from the npm package 7zip-bin 5.2.0, a reference that is never shipped) and any other
# 7za.exe given as NAME=PATH, all under Wine in one prefix, taking turns, best of RUNS each:
#     bench/extractor_bench.sh [--runs RUNS] [NAME=7ZA_EXE...]      (default: 3 runs)
# First each runs its own benchmark, "7za.exe b -md22" with one thread and with its default threads,
# which checks what it decodes: the bench fails if one reports an error. Then each unpacks ("x -y -bd"
# into an empty folder) and tests ("t", decoding alone) two LZMA2 packages, with one thread (-mmt1) and
# with its default threads: a runtime of thousands of files (this machine's Python 3.11 with its packages,
# about 17 MB, 94 MB unpacked) and large files (the DLLs of Wine's 64-bit Windows side: about 93 MB,
# 670 MB unpacked). Both are packed as 7z -mx5 packs them on a machine of four threads or more: LZMA2
# in blocks of 128 MiB (four dictionaries), each decodable by a thread of its own. The packages and the
# reference are kept in build/bench/extractor; the prefix is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/welkara.sh"
runs=3
if [ "${1:-}" = --runs ]; then
    runs=${2:?usage: bench/extractor_bench.sh [--runs RUNS] [NAME=7ZA_EXE...]}
    shift 2
fi
"$root/scripts/prerequisites"
work=$root/build/bench/extractor
mkdir -p "$work"
trap 'welkara_teardown' EXIT

reference_sha256=b0cfdeaf429f5cc53f85123dd8f5a5feb92c19d31aa34df257edf9a26be05f95
if [ ! -f "$work/7za-21.07.exe" ]; then
    command -v npm >/dev/null || { echo "extractor_bench: npm fetches the reference 7za.exe; install npm" >&2; exit 1; }
    rm -rf "$work/npm"
    mkdir "$work/npm"
    (cd "$work/npm" && npm pack --silent 7zip-bin@5.2.0 >/dev/null && tar -xzf 7zip-bin-5.2.0.tgz package/win/x64/7za.exe)
    [ "$(sha256sum "$work/npm/package/win/x64/7za.exe" | cut -d' ' -f1)" = "$reference_sha256" ] ||
        { echo "extractor_bench: 7zip-bin 5.2.0's win/x64/7za.exe does not have the SHA-256 $reference_sha256" >&2; exit 1; }
    mv "$work/npm/package/win/x64/7za.exe" "$work/7za-21.07.exe"
    rm -rf "$work/npm"
fi
names=(pinned 21.07)
cp "$(welkara_7za_exe)" "$work/pinned.exe"
cp "$work/7za-21.07.exe" "$work/21.07.exe"
for other in "$@"; do
    name=${other%%=*}
    [[ $other == *=* && $name =~ ^[a-z0-9.-]+$ && $name != pinned && $name != 21.07 ]] ||
        { echo "extractor_bench: give another 7za.exe as NAME=PATH (NAME in a-z0-9.-, not pinned or 21.07): $other" >&2; exit 2; }
    cp "${other#*=}" "$work/$name.exe"
    names+=("$name")
done

# 7z -mx5 picks a dictionary of 32 MiB; with two threads per block's encoder and four or more threads
# in all it cuts the stream into blocks of four dictionaries. The sizes are given here so that the
# packages are the same whatever this machine's thread count.
pack() {  # NAME DIR PATH...: build/bench/extractor/NAME.7z, made once
    local name=$1 dir=$2
    shift 2
    [ ! -f "$work/$name.7z" ] || return 0
    echo "making the package $name (a few minutes)" >&2
    welkara_pack "$dir" "$work/$name.7z.partial" -mx5 -m0=lzma2:d=32m:c=128m "$@"
    mv "$work/$name.7z.partial" "$work/$name.7z"
}
pack runtime /usr/lib python3.11 python3
pack large /usr/lib/x86_64-linux-gnu/wine x86_64-windows
welkara_prefix_up "$work/wineprefix" >/dev/null

seconds() {  # seconds COMMAND...: the wall-clock seconds it took
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}
for name in "${names[@]}"; do
    echo "$name: $(wine "$work/$name.exe" 2>/dev/null | tr -d '\r' | grep -m1 '7-Zip')"
    for threads in -mmt1 ""; do
        # shellcheck disable=SC2086 # no thread option for the default
        if ! wine "$work/$name.exe" b -md22 $threads >"$work/b.txt" 2>&1 || grep -qi error "$work/b.txt"; then
            tr -d '\r' <"$work/b.txt" >&2
            echo "extractor_bench: $name's own benchmark (b -md22 $threads) failed" >&2
            exit 1
        fi
        # The "Avr:" line: compressing then decompressing speed (KiB/s) and ratings.
        tr -d '\r' <"$work/b.txt" | awk -v n="$name" -v t="${threads:-default threads}" \
            '/^Avr:/ { printf "  b -md22 %-15s decompresses %5.1f MB/s (compresses %5.1f MB/s)\n", t, $7 / 1024, $2 / 1024 }'
    done
done
rm -f "$work/b.txt"

printf '%-8s %-7s %-4s' package threads cmd
for name in "${names[@]}"; do printf ' %9s' "$name"; done
for name in "${names[@]}"; do [ "$name" = 21.07 ] || printf ' %14s' "$name/21.07"; done
echo
for package in runtime large; do
    for threads in -mmt1 ""; do
        for command in x t; do
            declare -A best=()
            for run in $(seq "$runs"); do
                for name in "${names[@]}"; do
                    rm -rf "$work/out"
                    mkdir "$work/out"
                    # shellcheck disable=SC2086
                    took=$(cd "$work/out" && seconds wine "$work/$name.exe" "$command" -y -bd $threads "../$package.7z")
                    echo "$package $command ${threads:-default} run $run $name: $took s" >&2
                    best[$name]=$(awk -v t="$took" -v b="${best[$name]:-}" 'BEGIN { print (b == "" || t < b) ? t : b }')
                done
            done
            printf '%-8s %-7s %-4s' "$package" "${threads:-default}" "$command"
            for name in "${names[@]}"; do printf ' %7.3f s' "${best[$name]}"; done
            for name in "${names[@]}"; do
                [ "$name" = 21.07 ] || awk -v a="${best[$name]}" -v b="${best[21.07]}" 'BEGIN { printf " %14.3f", a / b }'
            done
            echo
            unset best
        done
    done
done
rm -rf "$work/out"
for name in "${names[@]}"; do rm -f "$work/$name.exe"; done
