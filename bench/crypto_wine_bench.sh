#!/usr/bin/env bash
# SHA-512 and Ed25519 of the Windows build under Wine against the native references, which the Windows
# build does not have: OpenSSL's SHA-512 and libsodium's verification, measured by the native benchmarks
# run alternately with the Windows ones, RUNS times each, best of each:
#     bench/crypto_wine_bench.sh [WIN_BUILD [NATIVE_BUILD [MIB [RUNS]]]]
#     (defaults: build/win, build/bench, 256, 3)
# Both trees must have sha512_bench and ed25519_bench built (Release, and natively without sanitizers).
# Prints each Windows block function's SHA-512 rate over OpenSSL's (above 1 is faster), and the Windows
# verification times over libsodium's (empty message) and over OpenSSL's hashing of the same MIB MiB
# (below 1 is faster). Uses a throwaway Wine prefix inside WIN_BUILD/bench, removed again at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/welkara.sh"
"$root/scripts/prerequisites"
win=$(cd "${1:-build/win}" && pwd)
native=$(cd "${2:-build/bench}" && pwd)
mib=${3:-256}
runs=${4:-3}
for f in "$win/bench/sha512_bench.exe" "$win/bench/ed25519_bench.exe" "$native/bench/sha512_bench" \
    "$native/bench/ed25519_bench"; do
    test -f "$f" || { echo "crypto_wine_bench.sh: build $f first" >&2; exit 1; }
done

trap welkara_teardown EXIT
welkara_prefix_up "$win/bench/crypto-wineprefix" >/dev/null
wine_run() { wine "$@" | tr -d '\r'; }

out=$(mktemp)
for _ in $(seq "$runs"); do
    "$native/bench/sha512_bench" "$mib" 3 | sed -n 's/^  OpenSSL *\([0-9.]*\) MB\/s.*/openssl_mbps \1/p' >>"$out"
    wine_run "$win/bench/sha512_bench.exe" "$mib" 3 |
        sed -n 's/^  \(portable\|x86_[a-z0-9]*\) *\([0-9.]*\) MB\/s.*/mbps_\1 \2/p' >>"$out"
    "$native/bench/ed25519_bench" "$mib" 3 |
        sed -n -e 's/.*libsodium \([0-9.]*\) us.*/sodium_us \1/p' -e 's/.*OpenSSL SHA-512 alone \([0-9.]*\) s.*/hash_s \1/p' >>"$out"
    wine_run "$win/bench/ed25519_bench.exe" "$mib" 3 |
        sed -n -e 's/^verify, 0-byte message: ours \([0-9.]*\) us.*/ours_us \1/p' \
            -e 's/^verify, [0-9]* MiB message: ours \([0-9.]*\) s.*/ours_s \1/p' >>"$out"
done
python3 "$root/bench/crypto_wine_bench.py" "$out" "$mib" "$runs"
rm -f "$out"
