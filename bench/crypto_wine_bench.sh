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
"$root/scripts/prerequisites"
win=$(cd "${1:-build/win}" && pwd)
native=$(cd "${2:-build/bench}" && pwd)
mib=${3:-256}
runs=${4:-3}
for f in "$win/bench/sha512_bench.exe" "$win/bench/ed25519_bench.exe" "$native/bench/sha512_bench" \
    "$native/bench/ed25519_bench"; do
    test -f "$f" || { echo "crypto_wine_bench.sh: build $f first" >&2; exit 1; }
done

prefix=$win/bench/crypto-wineprefix
trap '"$root/cmake/wine-prefix" down "$prefix" || true' EXIT
"$root/cmake/wine-prefix" up "$prefix" >/dev/null
wine_run() { WINEPREFIX=$prefix "$root/cmake/wine-run" "$@" | tr -d '\r'; }

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
python3 - "$out" "$mib" "$runs" <<'PY'
import sys
best = {}
for line in open(sys.argv[1]):
    key, value = line.split()
    value = float(value)
    faster = max if key.startswith("mbps") or key == "openssl_mbps" else min
    best[key] = faster(best.get(key, value), value)
mib, runs = sys.argv[2], sys.argv[3]
print("Windows build under Wine against native references, %s MiB, best of %s runs each" % (mib, runs))
print("SHA-512: OpenSSL (native) %.1f MB/s" % best["openssl_mbps"])
for key in sorted(k for k in best if k.startswith("mbps_")):
    print("  %-10s %8.1f MB/s  %.3f x OpenSSL" % (key[5:], best[key], best[key] / best["openssl_mbps"]))
print("Ed25519, 0-byte message: ours %.1f us, libsodium (native) %.1f us, ratio ours/libsodium %.3f"
      % (best["ours_us"], best["sodium_us"], best["ours_us"] / best["sodium_us"]))
print("Ed25519, %s MiB message: ours %.3f s, OpenSSL SHA-512 (native) alone %.3f s, ratio ours/OpenSSL-hash %.3f"
      % (mib, best["ours_s"], best["hash_s"], best["ours_s"] / best["hash_s"]))
PY
rm -f "$out"
