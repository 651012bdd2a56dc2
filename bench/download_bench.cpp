// Times downloadUpdate (WinINet) fetching one package from the loopback package store, as
// bench/download_bench.sh runs it under Wine beside curl:
//     download_bench.exe STATE_FOLDER URL [RUNS]
// STATE_FOLDER is the store's state folder as a Windows path; its test CA is trusted first (the
// script gives this a throwaway prefix). Prints one line per run, then "best SECONDS". Only the call is
// timed, not Wine's start-up.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "install/download.h"
#include "install/install_log.h"
#include "tests/support/package_store_access.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: download_bench.exe STATE_FOLDER URL [RUNS]\n");
        return 2;
    }
    testsupport::PackageStore store;
    store.stateFolder = argv[1];
    if (!store.trustTestCertificateAuthority()) {
        std::fprintf(stderr, "download_bench: cannot trust the store's test CA\n");
        return 1;
    }
    const int runs = argc > 3 ? std::wcstol(argv[3], nullptr, 10) : 3;
    InstallLog log;
    log.open(LogFolder::profileList);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        PackageBytes package;
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const bool ok = downloadUpdate(log, argv[2], &package);
        QueryPerformanceCounter(&end);
        if (!ok) {
            std::fprintf(stderr,
                         "download_bench: downloadUpdate failed; see the install log in the prefix\n");
            return 1;
        }
        const std::uint32_t length = package.size();
        package.reset();
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        std::printf("run %d: %.6f s, %lu bytes\n", run + 1, seconds, static_cast<unsigned long>(length));
        if (run == 0 || seconds < best) {
            best = seconds;
        }
    }
    std::printf("best %.6f\n", best);
    return 0;
}
