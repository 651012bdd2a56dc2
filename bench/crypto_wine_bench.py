"""crypto_wine_bench.py FILE MIB RUNS: the report of bench/crypto_wine_bench.sh from the "KEY VALUE" lines
its runs wrote to FILE: the best of each (the highest rate, the lowest time), and ratios between them."""

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
