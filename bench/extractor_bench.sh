#!/usr/bin/env bash
# Unpacking speed of the pinned 7za.exe (built from its source by scripts/build-7za) against another
# 7za.exe, both under Wine in one prefix, taking turns, best of RUNS each:
#     bench/extractor_bench.sh OTHER_7ZA_EXE [RUNS]     (default: 3)
# on two packages: the DLLs of Wine's 64-bit Windows side packed with LZMA2 (7z -mx5, BCJ: about 90 MB,
# 640 MB unpacked), and 256 MiB of random bytes stored (-mx0), as bench/install_bench.sh unpacks it.
# Each binary runs "7za.exe x -y -bd" into an empty folder and "7za.exe t" (decoding alone). The
# packages are made once into build/bench/extractor and kept; the prefix is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/welkara.sh"
other=$(realpath "${1:?usage: bench/extractor_bench.sh OTHER_7ZA_EXE [RUNS]}")
runs=${2:-3}
"$root/scripts/prerequisites"
work=$root/build/bench/extractor
mkdir -p "$work"
trap 'welkara_teardown' EXIT

if [ ! -f "$work/lzma2.7z" ]; then
    echo "making the LZMA2 package (a few minutes)" >&2
    welkara_pack /usr/lib/x86_64-linux-gnu/wine "$work/lzma2.7z.partial" -m0=lzma2 -mx5 x86_64-windows
    mv "$work/lzma2.7z.partial" "$work/lzma2.7z"
fi
if [ ! -f "$work/stored.7z" ]; then
    head -c $((256 << 20)) /dev/urandom >"$work/payload.bin"
    welkara_pack "$work" "$work/stored.7z.partial" -mx0 payload.bin
    rm "$work/payload.bin"
    mv "$work/stored.7z.partial" "$work/stored.7z"
fi
cp "$(welkara_7za_exe)" "$work/pinned.exe"
cp "$other" "$work/other.exe"
welkara_prefix_up "$work/wineprefix" >/dev/null

seconds() {  # seconds COMMAND...: the wall-clock seconds it took
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}
for binary in pinned other; do
    echo "$binary: $(wine "$work/$binary.exe" 2>/dev/null | tr -d '\r' | grep -m1 '7-Zip')"
done
for package in lzma2 stored; do
    for command in x t; do
        declare -A best=()
        for run in $(seq "$runs"); do
            for binary in pinned other; do
                rm -rf "$work/out"
                mkdir "$work/out"
                took=$(cd "$work/out" && seconds wine "$work/$binary.exe" "$command" -y -bd "../$package.7z")
                echo "$package $command run $run $binary: $took s" >&2
                best[$binary]=$(awk -v t="$took" -v b="${best[$binary]:-}" 'BEGIN { print (b == "" || t < b) ? t : b }')
            done
        done
        awk -v p="$package" -v c="$command" -v a="${best[pinned]}" -v b="${best[other]}" \
            'BEGIN { printf "%-6s %s  pinned %6.3f s  other %6.3f s  pinned/other %.3f\n", p, c, a, b, a / b }' 
        unset best
    done
done
rm -rf "$work/out" "$work/pinned.exe" "$work/other.exe"
