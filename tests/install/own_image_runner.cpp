// Helper process for own_image_test. Started with a folder, it sets the event "own-image-ready" once it
// runs, waits for "own-image-go" (the test acts on its file or folder in between), then reads its own
// image and writes it as "Installer.exe" in that folder: exit code 0 when the copy was written, 1 when
// not, 2 when the events are missing. Started with "hold", it sets "own-image-ready" and runs until
// "own-image-stop" is set: a running old copy.
#include <windows.h>

#include "install/install_log.h"
#include "install/own_image.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 2;
    }
    OwnedHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"own-image-ready"));
    const bool holding = lstrcmpW(argv[1], L"hold") == 0;
    OwnedHandle next(OpenEventW(SYNCHRONIZE, FALSE, holding ? L"own-image-stop" : L"own-image-go"));
    if (!ready.valid() || !next.valid() || !SetEvent(ready.get()) ||
        WaitForSingleObject(next.get(), 60000) != WAIT_OBJECT_0) {
        return 2;
    }
    if (holding) {
        return 0;
    }
    InstallLog log;
    log.open(LogFolder::profileList);
    OwnImage image;
    image.load();
    wchar_t path[MAX_PATH];
    return image.writeCopy(log, argv[1], L"Installer.exe", path) ? 0 : 1;
}
