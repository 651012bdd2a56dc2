#!/usr/bin/env bash
# An update of 20,000 small files over an installation of 20,000 by the real Installer.exe under Wine,
# against the floor of the same package unpacked over the same installation without the installer in the
# same prefix: copying it into the code folder as archive.7z, "7za.exe -y -bd x archive.7z" there under
# Wine, removing the archive.
#     bench/update_bench.sh [BUILD_DIR [RUNS]]     (defaults: build/win, 3)
# BUILD_DIR is a Windows tree configured with WELKARA_TEST_SECRET_KEY, as for bench/install_bench.sh;
# Installer.exe, the stand-in welkara.exe and the host's welkara-sign are built there first. The package
# holds welkara.exe and 20,000 files of 100 B to 4 KiB of random bytes in 204 folders ("python" and
# "data"), packed with LZMA2 at 7z's default level. The installation it updates has the same paths with
# other bytes, and 200 files of the application's own that the package lacks; it is made on the Unix
# side once and copied into place, untimed, before every round. After one untimed round, installer and
# floor take turns RUNS times; the best of each is compared, as a ratio of times, twice:
#   the installer to "Installer thread finished" in the log, over the whole floor;
#   the installer's update, from its "extractUpdate: invoking" line to "Executing", over the floor's
#   7za.exe run alone.
# Every round's result is checked: the package's files (a sample by their bytes) and the application's
# own, nothing else.
# Uses a throwaway Wine prefix, Xvfb display and work folder in BUILD_DIR/bench/update, removed at the end;
# bench/update_bench.py makes the trees and measures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/welkara.sh"
"$root/scripts/prerequisites"
build=$(cd "${1:-build/win}" && pwd)
runs=${2:-3}

secret_key=$(welkara_cached "$build" WELKARA_TEST_SECRET_KEY 2>/dev/null || true)
if [ -z "$secret_key" ] || [ ! -f "$secret_key" ]; then
    echo "update_bench.sh: $build is not a Windows tree configured with WELKARA_TEST_SECRET_KEY (the secret" \
         "half of its WELKARA_PACKAGE_PUBLIC_KEY); scripts/test configures build/win so" >&2
    exit 1
fi
cmake --build "$build" --target Installer fake_welkara welkara_host_tools -j"$(nproc)" >"$build/update_bench.build.log" 2>&1 ||
    { cat "$build/update_bench.build.log" >&2; exit 1; }
sign=$build/host-tools/tools/welkara-sign

work=$build/bench/update
trap 'welkara_teardown; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work/installer"

python3 "$root/bench/update_bench.py" trees "$work" "$build/fake_welkara/welkara.exe"
welkara_pack "$work/package" "$work/package.7z" -m0=LZMA2 -mx5 .  # 7z's default method and level, named
signature=$(welkara_sign "$sign" "$secret_key" "$work/package.7z")
cp "$build/app/Installer.exe" "$(welkara_7za_exe "$build")" "$work/installer/"
welkara_manifest "$sign" "$work/installer" package.7z "$signature"

welkara_xvfb_up "$work/xvfb"
welkara_prefix_up "$work/wineprefix" >/dev/null
python3 "$root/bench/update_bench.py" "$work" "$runs"
