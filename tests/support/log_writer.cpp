// Helper process for the install log tests.
//   log_writer write LINE...   opens the install log, appends each LINE with a line feed, closes it;
//                              exits 0 when the log opened, 1 when not
//   log_writer hold            opens instlog.txt for writing (as another program might), signals the
//                              event "welkara-test-held", and keeps it open until "welkara-test-release"
//                              is signalled (at most 60 s)
#include <windows.h>

#include <cwchar>

#include "install/install_log.h"
#include "tests/support/wine_test_support.h"

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && wcscmp(argv[1], L"write") == 0) {
        InstallLog log;
        log.open(LogFolder::profileList);
        for (int i = 2; i < argc; ++i) {
            log.write(L"%ls\n", argv[i]);
        }
        const bool opened = log.isOpen();
        log.close();
        return opened ? 0 : 1;
    }
    if (argc == 2 && wcscmp(argv[1], L"hold") == 0) {
        HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-held");
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"welkara-test-release");
        HANDLE file = CreateFileW(testsupport::logFilePath().c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 3;
        }
        SetEvent(held);
        WaitForSingleObject(release, 60000);
        CloseHandle(file);
        return 0;
    }
    return 2;
}
