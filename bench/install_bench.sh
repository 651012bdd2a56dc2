#!/usr/bin/env bash
# Installation of a 256 MiB local package by the real Installer.exe under Wine, against the floor of the
# same work done without the installer in the same prefix: copying the package into the code folder as
# archive.7z, "7za.exe -y -bd x archive.7z" there under Wine, removing the archive.
#     bench/install_bench.sh [BUILD_DIR [RUNS]]     (defaults: build/win, 3)
# BUILD_DIR is a Windows tree configured with WELKARA_TEST_SECRET_KEY, the secret half of its package
# key (scripts/test configures build/win so); Installer.exe, the stand-in welkara.exe and the host's
# welkara-sign are built there first. The package holds welkara.exe and 256 MiB of random bytes, stored
# (7z -mx0) so that the extractor copies rather than decompresses; a manifest beside Installer.exe names
# it and its signature. After one untimed round, installer and floor take turns RUNS times; the best of
# each is compared, as a ratio of times, twice:
#   to "Installer thread finished" in the log: the installation's own work;
#   to the end of the process: including the fixed 2.5 s pause that keeps the final status readable.
# Peak memory is the installer process's VmHWM (peak resident set) from /proc/PID/status on the Unix
# side, where each Wine process is one Linux process; it is read while the process still lives. It is
# compared with the package size, and so is the peak less the footprint of a run that fails before it
# reads any package, left open until its window has been drawn (Wine's Direct2D on software OpenGL
# takes a few hundred MiB of its own: the shared libraries of the GL driver, and a 128 MiB block that
# Wine's Direct3D thread clears inside the GL driver). Private memory (RssAnon) is
# reported too, sampled. The best run's phases are timed from its log lines, and the start-up and
# signature check, which the floor does not do, are added to the floor as the least time any run that
# checks its package can take.
# Uses a throwaway Wine prefix, Xvfb display and work folder in BUILD_DIR/bench/install, removed at the end;
# bench/install_bench.py measures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/welkara.sh"
"$root/scripts/prerequisites"
build=$(cd "${1:-build/win}" && pwd)
runs=${2:-3}

secret_key=$(welkara_cached "$build" WELKARA_TEST_SECRET_KEY 2>/dev/null || true)
if [ -z "$secret_key" ] || [ ! -f "$secret_key" ]; then
    echo "install_bench.sh: $build is not a Windows tree configured with WELKARA_TEST_SECRET_KEY (the secret" \
         "half of its WELKARA_PACKAGE_PUBLIC_KEY); scripts/test configures build/win so" >&2
    exit 1
fi
cmake --build "$build" --target Installer fake_welkara welkara_host_tools -j"$(nproc)" >"$build/install_bench.build.log" 2>&1 ||
    { cat "$build/install_bench.build.log" >&2; exit 1; }
sign=$build/host-tools/tools/welkara-sign

work=$build/bench/install
trap 'welkara_teardown; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work/package/data" "$work/installer"

cp "$build/fake_welkara/welkara.exe" "$work/package/"
head -c $((256 << 20)) /dev/urandom >"$work/package/data/payload.bin"
welkara_pack "$work/package" "$work/package.7z" -mx0 .
rm -rf "$work/package"
signature=$(welkara_sign "$sign" "$secret_key" "$work/package.7z")
cp "$build/app/Installer.exe" "$(welkara_7za_exe "$build")" "$work/installer/"
welkara_manifest "$sign" "$work/installer" package.7z "$signature"

welkara_xvfb_up "$work/xvfb"
welkara_prefix_up "$work/wineprefix" >/dev/null
python3 "$root/bench/install_bench.py" "$work" "$runs"
