#!/usr/bin/env bash
# Download rate of downloadUpdate (WinINet under Wine) against curl, both fetching the same 256 MiB
# package from the same loopback package store, best of RUNS each:
#     bench/download_bench.sh [BUILD_DIR [RUNS]]     (defaults: build/win, 3)
# BUILD_DIR is a Windows build tree with download_bench.exe built. Runs over http and over https (the
# store's test CA, trusted by both clients). Uses a throwaway Wine prefix and store inside
# BUILD_DIR/bench, removed again at the end; only 127.0.0.1 is contacted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prerequisites"
build=$(cd "${1:-build/win}" && pwd)
runs=${2:-3}
exe=$build/bench/download_bench.exe
test -f "$exe" || { echo "download_bench.sh: build $exe first" >&2; exit 1; }

work=$build/bench/download
state=$work/store
prefix=$work/wineprefix
mkdir -p "$work"
cleanup() {
    python3 "$root/tests/support/package_store.py" stop "$state" || true
    "$root/cmake/wine-prefix" down "$prefix" || true
}
trap cleanup EXIT

python3 "$root/tests/support/package_store.py" start "$state" --lifetime 900 >/dev/null
"$root/cmake/wine-prefix" up "$prefix" >/dev/null
size=$((256 << 20))
head -c "$size" /dev/urandom >"$state/files/bench.7z"
windows_state="Z:${state//\//\\}"

best_of_curl() {  # best_of_curl URL: the shortest total time of RUNS curl downloads to /dev/null
    local best=""
    for _ in $(seq "$runs"); do
        local t
        t=$(curl -s --cacert "$state/ca.pem" -o /dev/null -w '%{time_total}' "$1")
        best=$(python3 -c "import sys; a=sys.argv[1]; b=float(sys.argv[2]); print(b if a=='' else min(float(a), b))" "$best" "$t")
    done
    echo "$best"
}

echo "package: $size bytes from the loopback store; best of $runs runs each"
for scheme in http https; do
    url=$(sed -n "s|^$scheme=||p" "$state/store.txt")/files/bench.7z
    wine_best=$(WINEPREFIX=$prefix "$root/cmake/wine-run" "$exe" "$windows_state" "$url" "$runs" | tr -d '\r' |
                sed -n 's/^best //p')
    curl_best=$(best_of_curl "$url")
    python3 - "$scheme" "$size" "$wine_best" "$curl_best" <<'PY'
import sys
scheme, size, wine, curl = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
mib = size / (1 << 20)
print("%-5s downloadUpdate (WinINet, Wine): %7.3f s  %8.1f MiB/s" % (scheme, wine, mib / wine))
print("%-5s curl:                           %7.3f s  %8.1f MiB/s" % (scheme, curl, mib / curl))
print("%-5s ratio downloadUpdate/curl (rate): %.3f" % (scheme, curl / wine))
PY
done
