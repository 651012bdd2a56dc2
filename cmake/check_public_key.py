#!/usr/bin/env python3
"""Checks the package public key given at configure time and prints it as a C initializer list.

Usage: check_public_key.py BASE64
The key must be the Base64 (standard alphabet, "=" padding) of exactly 32 bytes, and those bytes must
encode a point A of edwards25519: with y the low 255 bits (taken modulo p) and u = y^2 - 1,
v = d*y^2 + 1, the fraction u/v must be a square modulo p so that x exists. A must not be of small
order (8*A the neutral point): under such a key signatures can be forged without any secret.
Prints "0x.., 0x.., ..." (32 bytes) and exits 0, or prints the reason to stderr and exits 1.
"""
import sys

P = 2**255 - 19
D = (-121665 * pow(121666, P - 2, P)) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)  # a square root of -1 modulo p
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def decode_key(text):
    """The 32 bytes of a 44-character Base64 text ending in one "=", or None."""
    if len(text) != 44 or text[43] != "=" or any(c not in ALPHABET for c in text[:43]):
        return None
    bits = 0
    for c in text[:43]:
        bits = bits << 6 | ALPHABET.index(c)
    return (bits >> 2).to_bytes(32, "big")  # 43 * 6 = 258 bits; the low 2 fill no byte


def decode_point(key):
    """The affine point (x, y) of the 32-byte encoding, or None when there is no x for its y."""
    y = (int.from_bytes(key, "little") & (2**255 - 1)) % P
    u = (y * y - 1) % P
    v = (D * y * y + 1) % P
    x = u * pow(v, 3, P) * pow(u * pow(v, 7, P), (P - 5) // 8, P) % P  # candidate root of u/v
    vxx = v * x * x % P
    if vxx == (-u) % P and u != 0:
        x = x * SQRT_M1 % P
    elif vxx != u:
        return None
    if (x & 1) != key[31] >> 7:
        x = (P - x) % P
    return x, y


def add(a, b):
    """a + b on -x^2 + y^2 = 1 + d*x^2*y^2 (affine, complete: d is not a square)."""
    (x1, y1), (x2, y2) = a, b
    t = D * x1 * x2 * y1 * y2 % P
    x3 = (x1 * y2 + y1 * x2) * pow(1 + t, P - 2, P) % P
    y3 = (y1 * y2 + x1 * x2) * pow(1 - t, P - 2, P) % P
    return x3, y3


def has_small_order(point):
    """Whether 8 * point is the neutral point (0, 1)."""
    for _ in range(3):
        point = add(point, point)
    return point == (0, 1)


def main(argv):
    if len(argv) != 2:
        print("usage: check_public_key.py BASE64", file=sys.stderr)
        return 1
    key = decode_key(argv[1])
    if key is None:
        print("is not the Base64 of 32 bytes (44 characters of the standard alphabet, "
              "the last one \"=\")", file=sys.stderr)
        return 1
    point = decode_point(key)
    if point is None:
        print("does not encode a point of edwards25519 (no x for its y)", file=sys.stderr)
        return 1
    if has_small_order(point):
        print("encodes a point of small order, under which signatures can be forged", file=sys.stderr)
        return 1
    print(", ".join("0x%02x" % b for b in key))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
