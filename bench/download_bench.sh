#!/usr/bin/env bash
# Download rate of downloadUpdate (WinINet under Wine) against curl, both fetching the same 256 MiB
# package from the same loopback package store, best of RUNS each:
#     bench/download_bench.sh [BUILD_DIR [RUNS]]     (defaults: build/win, 3)
# BUILD_DIR is a Windows build tree with download_bench.exe built. Runs over http and over https (the
# store's test CA, trusted by both clients). Uses a throwaway Wine prefix and store inside
# BUILD_DIR/bench, removed again at the end; only 127.0.0.1 is contacted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/welkara.sh"
"$root/scripts/prerequisites"
build=$(cd "${1:-build/win}" && pwd)
runs=${2:-3}
exe=$build/bench/download_bench.exe
test -f "$exe" || { echo "download_bench.sh: build $exe first" >&2; exit 1; }

work=$build/bench/download
state=$work/store
mkdir -p "$work"
trap 'python3 "$root/tests/support/package_store.py" stop "$state" || true; welkara_teardown' EXIT

python3 "$root/tests/support/package_store.py" start "$state" --lifetime 900 >/dev/null
welkara_prefix_up "$work/wineprefix" >/dev/null
size=$((256 << 20))
head -c "$size" /dev/urandom >"$state/files/bench.7z"
windows_state="Z:${state//\//\\}"

best_of_curl() {  # best_of_curl URL: the shortest total time of RUNS curl downloads to /dev/null
    for _ in $(seq "$runs"); do
        curl -s --cacert "$state/ca.pem" -o /dev/null -w '%{time_total}\n' "$1"
    done | sort -g | head -n 1
}

echo "package: $size bytes from the loopback store; best of $runs runs each"
for scheme in http https; do
    url=$(sed -n "s|^$scheme=||p" "$state/store.txt")/files/bench.7z
    wine_best=$(wine "$exe" "$windows_state" "$url" "$runs" | tr -d '\r' | sed -n 's/^best //p')
    curl_best=$(best_of_curl "$url")
    awk -v s="$scheme" -v mib="$((size >> 20))" -v wine="$wine_best" -v curl="$curl_best" 'BEGIN {
        printf "%-5s downloadUpdate (WinINet, Wine): %7.3f s  %8.1f MiB/s\n", s, wine, mib / wine
        printf "%-5s curl:                           %7.3f s  %8.1f MiB/s\n", s, curl, mib / curl
        printf "%-5s ratio downloadUpdate/curl (rate): %.3f\n", s, curl / wine }'
done
