#!/usr/bin/env python3
"""The configure-time check of WELKARA_PACKAGE_PUBLIC_KEY (cmake/check_public_key.py), table-driven.

Usage: check_public_key_test.py PATH/TO/check_public_key.py
Whether an x exists is checked against Euler's criterion (u/v is 0 or a square exactly when
(u/v)^((p-1)/2) is 0 or 1), an independent way to the candidate root that the check computes.
"""
import base64
import contextlib
import importlib.util
import io
import os
import subprocess
import sys
import tempfile
import unittest

P = 2**255 - 19
D = (-121665 * pow(121666, P - 2, P)) % P
CHECK = None  # the module under test, loaded in main

# y of the points of small order, as 32-byte little-endian hex: 0 (order 4), 1 (neutral), p - 1
# (order 2) and the two values of y with points of order 8.
SMALL_ORDER_Y = [
    "00" * 32,
    "01" + "00" * 31,
    "ec" + "ff" * 30 + "7f",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
]


def run(text):
    """(exit code, stdout, stderr) of the check on one argument."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = CHECK.main(["check_public_key.py", text])
    return code, out.getvalue().strip(), err.getvalue()


def b64(key_bytes):
    return base64.b64encode(key_bytes).decode()


def has_x(y):
    y %= P
    w = (y * y - 1) * pow(D * y * y + 1, P - 2, P) % P
    return pow(w, (P - 1) // 2, P) in (0, 1)


def encoding(y, sign):
    return (y | sign << 255).to_bytes(32, "little")


class CheckPublicKeyTest(unittest.TestCase):
    def assert_accepted(self, key_bytes):
        code, out, err = run(b64(key_bytes))
        self.assertEqual((code, err), (0, ""), key_bytes.hex())
        self.assertEqual(out, ", ".join("0x%02x" % b for b in key_bytes))

    def assert_rejected(self, text, reason):
        code, out, err = run(text)
        self.assertEqual((code, out), (1, ""), text)
        self.assertIn(reason, err, text)

    def test_real_keys_are_accepted_with_their_bytes(self):
        # RFC 8032 section 7.1, test 1, and a key made by scripts/make-test-key.
        self.assert_accepted(bytes.fromhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"))
        make_key = os.path.join(os.path.dirname(CHECK.__file__), "..", "scripts", "make-test-key")
        with tempfile.TemporaryDirectory() as folder:
            text = subprocess.run([make_key, folder], check=True, capture_output=True, text=True).stdout.strip()
        self.assertEqual(run(text)[0], 0, text)

    def test_texts_that_are_not_base64_of_32_bytes_are_rejected(self):
        good = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo="
        cases = {
            "empty": "",
            "43 characters": good[:43],
            "no padding": good[:43] + "A",
            "31 bytes": good[:42] + "==",
            "33 bytes": b64(bytes(33)),
            "48 characters": good + "AAAA",
            "URL-safe": good.replace("/", "_"),
            "trailing blank": good + " ",
            "trailing line feed": good + "\n",
            "hex instead": "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
            "a 64-byte signature": b64(bytes(64)),
        }
        for what, text in cases.items():
            with self.subTest(what):
                self.assert_rejected(text, "is not the Base64 of 32 bytes")

    def test_dropped_bits_of_the_last_character_do_not_matter(self):
        key = bytes.fromhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")
        text = b64(key)  # ends "Ro=": "o" holds 2 bits that fill no byte
        self.assertEqual(run(text[:42] + "p=")[1], run(text)[1])

    def test_a_key_is_accepted_exactly_when_x_exists_and_the_order_is_not_small(self):
        small = {int.from_bytes(bytes.fromhex(h), "little") for h in SMALL_ORDER_Y}
        # y from 0 up, and the values of y of p and above (taken modulo p), with both sign bits.
        for y in list(range(0, 300)) + list(range(P, 2**255)):
            for sign in (0, 1):
                key = encoding(y, sign)
                with self.subTest(y=y % P, noncanonical=y >= P, sign=sign):
                    if not has_x(y):
                        self.assert_rejected(b64(key), "does not encode a point")
                    elif y % P in small:
                        self.assert_rejected(b64(key), "small order")
                    else:
                        self.assert_accepted(key)

    def test_every_point_of_small_order_is_rejected(self):
        for y_hex in SMALL_ORDER_Y:
            y = int.from_bytes(bytes.fromhex(y_hex), "little")
            for sign in (0, 1):
                with self.subTest(y=y_hex, sign=sign):
                    self.assertTrue(has_x(y))
                    self.assert_rejected(b64(encoding(y, sign)), "small order")


def main():
    global CHECK
    module_spec = importlib.util.spec_from_file_location("check_public_key", sys.argv.pop(1))
    CHECK = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(CHECK)
    unittest.main()


if __name__ == "__main__":
    main()
