#!/bin/sh
# Makes the signed packages that the installer tests install, with Debian's 7z and welkara-sign:
#   make_installer_packages.sh OUT_DIR WELKARA_SIGN SECRET_KEY WELKARA_EXE
# OUT_DIR/package.7z holds welkara.exe (the test stand-in that leaves "started.txt"), a "python" runtime
# folder, "data/readme.txt" and 600,000 random bytes, so that it is large enough to be downloaded.
# Each NAME.7z (or NAME.bin) gets NAME.sig, its Base64 signature:
#   package.7z   the package above
#   damaged.7z   its first half: signed correctly, but the extractor cannot unpack it
#   random.bin   700,000 random bytes: signed, large enough to be downloaded, not an archive
#   noapp.7z     the package without welkara.exe
#   empty.bin    zero bytes
#   large.7z     the package with 128 MiB of zeros stored (-mx0) beside it, so that a run spends long
#                enough in each step for a test to act while it is there
#   link.7z      the package with data/link, a symbolic link to ../../../../outside, and a file stored
#                as data/link/evil.txt: unpacked by a careless extractor, the file lands outside
#   dotdot.7z    the package with files stored as ../outside1.txt and ../../../outside3.txt
#   nopython.7z  the package without its "python" runtime (nopython-src holds its tree)
#   many.7z      the package with 200 more top-level files, e000.txt to e199.txt (many-src holds its tree)
set -eu
. "$(dirname "$0")/../../scripts/lib/welkara.sh"
out=$(realpath -m "$1") sign=$2 key=$3 welkara=$4
rm -rf "$out"
mkdir -p "$out/src/python/lib" "$out/src/data"
cp "$welkara" "$out/src/welkara.exe"
printf 'new runtime\n' >"$out/src/python/lib/runtime.txt"
printf 'new readme\r\n' >"$out/src/data/readme.txt"
head -c 600000 /dev/urandom >"$out/src/data/padding.bin"
welkara_pack "$out/src" "$out/package.7z"
size=$(stat -c %s "$out/package.7z")
head -c $((size / 2)) "$out/package.7z" >"$out/damaged.7z"
head -c 700000 /dev/urandom >"$out/random.bin"
welkara_pack "$out/src" "$out/noapp.7z" python data
: >"$out/empty.bin"
cp -R "$out/src" "$out/large-src"
head -c 134217728 /dev/zero >"$out/large-src/data/large.bin"
welkara_pack "$out/large-src" "$out/large.7z" -mx0 .
rm -rf "$out/large-src"
cp -R "$out/src" "$out/hostile-src"
ln -s ../../../../outside "$out/hostile-src/data/link"
printf 'outside\n' >"$out/hostile-src/evil.txt"
welkara_pack "$out/hostile-src" "$out/link.7z"
(cd "$out" && 7z rn -bd link.7z evil.txt data/link/evil.txt >/dev/null)
rm "$out/hostile-src/data/link"
mv "$out/hostile-src/evil.txt" "$out/hostile-src/outside1.txt"
cp "$out/hostile-src/outside1.txt" "$out/hostile-src/outside3.txt"
welkara_pack "$out/hostile-src" "$out/dotdot.7z"
(cd "$out" && 7z rn -bd dotdot.7z outside1.txt ../outside1.txt outside3.txt ../../../outside3.txt >/dev/null)
rm -rf "$out/hostile-src"
cp -R "$out/src" "$out/nopython-src"
rm -rf "$out/nopython-src/python"
welkara_pack "$out/nopython-src" "$out/nopython.7z"
cp -R "$out/src" "$out/many-src"
for i in $(seq -w 0 199); do printf 'new %s\n' "$i" >"$out/many-src/e$i.txt"; done
welkara_pack "$out/many-src" "$out/many.7z"
for file in package.7z damaged.7z random.bin noapp.7z empty.bin large.7z link.7z dotdot.7z nopython.7z many.7z; do
    welkara_sign "$sign" "$key" "$out/$file" >"$out/${file%.*}.sig"
done
