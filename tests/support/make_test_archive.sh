#!/bin/sh
# Makes the package that the extraction tests unpack, with Debian's 7z:
#   make_test_archive.sh SOURCE_DIR ARCHIVE
# SOURCE_DIR is made afresh and holds what the archive holds (the tests compare against it): a
# "welkara.exe", a nested "python" tree, a name with a blank and a file of 300,000 random bytes.
set -eu
. "$(dirname "$0")/../../scripts/lib/welkara.sh"
src=$1 archive=$(realpath -m "$2")
rm -rf "$src" "$archive"
mkdir -p "$src/python/lib" "$src/python/DLLs" "$src/docs"
printf 'new welkara build\n' >"$src/welkara.exe"
printf 'import sys\nprint("site")\n' >"$src/python/lib/site.py"
head -c 300000 /dev/urandom >"$src/python/DLLs/blob.bin"
printf 'read me\r\n' >"$src/docs/read me.txt"
welkara_pack "$src" "$archive"
