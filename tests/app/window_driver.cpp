#include "tests/app/window_driver.h"

#include <oleacc.h>

#include "tests/support/wine_test_support.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace windowtest {

bool waitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline) {
            return done();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
            DispatchMessageW(&message);
        }
    }
    return true;
}

InstallerProcess::~InstallerProcess() {
    if (running()) {
        TerminateProcess(process_.hProcess, 1);
    }
    testsupport::closeProcess(&process_, 5000);  // never started: null handles, refused harmlessly
    if (desktop_ != nullptr) {
        CloseDesktop(desktop_);
    }
    if (station_ != nullptr) {
        CloseWindowStation(station_);
    }
}

bool InstallerProcess::start(const std::wstring& executable, const std::wstring& arguments, bool unseen) {
    std::wstring commandLine = L"\"" + executable + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    if (unseen) {
        // A station made here has no WSF_VISIBLE; its desktop is made with the station current.
        station_ = CreateWindowStationW(L"WelkaraUnseen", 0, WINSTA_ALL_ACCESS, nullptr);
        const HWINSTA own = GetProcessWindowStation();
        if (station_ == nullptr || !SetProcessWindowStation(station_)) {
            return false;
        }
        desktop_ = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
        if (desktop_ == nullptr) {
            return false;
        }
    }
    return testsupport::startProcess(commandLine, &process_, unseen ? L"WelkaraUnseen\\Default" : nullptr);
}

namespace {

// The window's outer rectangle on the screen into *outer, and into *capture its size and where its
// client area lies within it (no pixels). False when the window cannot be measured or has no size.
bool measureWindow(HWND window, RECT* outer, Capture* capture) {
    RECT client;
    POINT clientOrigin = {0, 0};
    if (!GetWindowRect(window, outer) || !GetClientRect(window, &client) ||
        !ClientToScreen(window, &clientOrigin)) {
        return false;
    }
    capture->width = outer->right - outer->left;
    capture->height = outer->bottom - outer->top;
    capture->clientLeft = clientOrigin.x - outer->left;
    capture->clientTop = clientOrigin.y - outer->top;
    capture->clientWidth = client.right;
    capture->clientHeight = client.bottom;
    return capture->width > 0 && capture->height > 0;
}

// Reads a binary PPM of 8-bit samples ("P6 width height 255", one blank, then RGB rows top-down).
bool readPpm(const std::wstring& path, int* width, int* height, std::vector<std::uint32_t>* pixels) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    int maximum = 0;
    bool ok = std::fscanf(file, "P6 %d %d %d", width, height, &maximum) == 3 && maximum == 255 &&
              *width > 0 && *height > 0 && std::fgetc(file) != EOF;
    std::vector<unsigned char> rgb(ok ? static_cast<std::size_t>(*width) * *height * 3 : 0);
    ok = ok && std::fread(rgb.data(), 1, rgb.size(), file) == rgb.size();
    std::fclose(file);
    if (ok) {
        pixels->resize(rgb.size() / 3);
        for (std::size_t i = 0; i < pixels->size(); ++i) {
            (*pixels)[i] =
                (std::uint32_t{rgb[3 * i]} << 16) | (std::uint32_t{rgb[3 * i + 1]} << 8) | rgb[3 * i + 2];
        }
    }
    return ok;
}

}  // namespace

HWND InstallerProcess::findWindow() const {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, kWindowClass, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process_.dwProcessId && IsWindowVisible(window)) {
            return window;
        }
    }
    return nullptr;
}

bool InstallerProcess::waitForExit(DWORD timeoutMs) {
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (exitedAt_ == 0) {
        exitedAt_ = GetTickCount64();
    }
    return true;
}

bool InstallerProcess::running() const {
    return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD InstallerProcess::exitCode() const {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

HWND findChild(HWND parent, const wchar_t* className) {
    return FindWindowExW(parent, nullptr, className, nullptr);
}

std::wstring windowText(HWND window) {
    wchar_t text[256];
    const int length = GetWindowTextW(window, text, 256);
    return std::wstring(text, length > 0 ? length : 0);
}

HWND focusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

std::wstring accessibleName(HWND control) {
    IAccessible* object = nullptr;
    BSTR name = nullptr;
    VARIANT self = {};  // the object itself: CHILDID_SELF (0) as VT_I4
    self.vt = VT_I4;
    if (SUCCEEDED(AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                             reinterpret_cast<void**>(&object)))) {
        object->get_accName(self, &name);
        object->Release();
    }
    const std::wstring text = name != nullptr ? name : L"";
    SysFreeString(name);
    return text;
}

namespace {
WinEventWatch* g_watch = nullptr;  // the hook procedure takes no argument of its own
}  // namespace

WinEventWatch::WinEventWatch(DWORD event, DWORD processId) {
    g_watch = this;
    hook = SetWinEventHook(
        event, event,
        nullptr,  // hmodWinEventProc: the procedure is in this process
        [](HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD) {
            g_watch->windows.push_back(object == OBJID_CLIENT && child == CHILDID_SELF ? window : nullptr);
        },
        processId,
        0,  // every thread
        WINEVENT_OUTOFCONTEXT);
}

WinEventWatch::~WinEventWatch() {
    UnhookWinEvent(hook);
    g_watch = nullptr;
}

std::vector<std::uint32_t> drawOffscreen(int width, int height, const std::function<bool(HDC)>& draw) {
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;  // top-down rows
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    HDC memory = CreateCompatibleDC(nullptr);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::vector<std::uint32_t> pixels;
    if (memory != nullptr && bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        if (draw(memory)) {
            GdiFlush();
            const std::uint32_t* source = static_cast<const std::uint32_t*>(bits);
            pixels.assign(source, source + static_cast<std::size_t>(width) * height);
            for (std::uint32_t& pixel : pixels) {
                pixel &= 0x00FFFFFF;
            }
        }
        SelectObject(memory, previous);
    }
    DeleteObject(bitmap);  // a null handle is refused harmlessly
    DeleteDC(memory);
    return pixels;
}

bool captureWindow(HWND window, Capture* capture) {
    RECT outer;
    Capture result;
    if (!measureWindow(window, &outer, &result)) {
        return false;
    }
    HDC screen = GetDC(nullptr);
    result.pixels = drawOffscreen(result.width, result.height, [&](HDC memory) {
        return BitBlt(memory, 0, 0, result.width, result.height, screen, outer.left, outer.top, SRCCOPY) != 0;
    });
    ReleaseDC(nullptr, screen);
    if (result.pixels.empty()) {
        return false;
    }
    *capture = std::move(result);
    return true;
}

bool photographWindow(HWND window, const std::wstring& folder, Capture* capture) {
    RECT outer;
    Capture result;
    if (!measureWindow(window, &outer, &result)) {
        return false;
    }
    const std::wstring photo = folder + L"\\screen.ppm";
    DeleteFileW(photo.c_str());
    const std::wstring target = testsupport::unixPath(photo);
    if (target.empty()) {
        return false;
    }
    // The file appears only once import has written all of it. Wine hands back no handle for a Unix
    // process, so its end is seen by the file alone.
    std::wstring commandLine =
        L"Z:\\bin\\sh -c \"import -window root -depth 8 ppm:\\\"$1.part\\\" && mv \\\"$1.part\\\" "
        L"\\\"$1\\\"\" "
        L"sh \"" +
        target + L"\"";
    PROCESS_INFORMATION process = {};
    if (!testsupport::startProcess(commandLine, &process)) {
        return false;
    }
    testsupport::closeProcess(&process, 0);
    if (!waitUntil([&] { return GetFileAttributesW(photo.c_str()) != INVALID_FILE_ATTRIBUTES; }, 10000)) {
        return false;
    }
    int screenWidth = 0;
    int screenHeight = 0;
    std::vector<std::uint32_t> screen;
    if (!readPpm(photo, &screenWidth, &screenHeight, &screen) || outer.left < 0 || outer.top < 0 ||
        outer.right > screenWidth || outer.bottom > screenHeight) {
        return false;
    }
    for (int y = outer.top; y < outer.bottom; ++y) {
        const std::uint32_t* row = &screen[static_cast<std::size_t>(y) * screenWidth];
        result.pixels.insert(result.pixels.end(), row + outer.left, row + outer.right);
    }
    *capture = std::move(result);
    return true;
}

bool Capture::saveBmp(const std::wstring& path) const {
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~static_cast<std::size_t>(3);
    std::string rows(stride * height, '\0');
    for (int y = 0; y < height; ++y) {
        char* row = &rows[stride * (height - 1 - y)];  // BMP rows run bottom-up
        for (int x = 0; x < width; ++x) {
            const std::uint32_t pixel = pixels[static_cast<std::size_t>(y) * width + x];
            row[3 * x] = static_cast<char>(pixel & 0xFF);
            row[3 * x + 1] = static_cast<char>((pixel >> 8) & 0xFF);
            row[3 * x + 2] = static_cast<char>((pixel >> 16) & 0xFF);
        }
    }
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(rows.size());
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof header + sizeof info;
    header.bfSize = static_cast<DWORD>(header.bfOffBits + rows.size());

    return testsupport::writeBytes(path, std::string(reinterpret_cast<const char*>(&header), sizeof header) +
                                             std::string(reinterpret_cast<const char*>(&info), sizeof info) +
                                             rows);
}

Band clientBand(const Capture& capture, int top, int bottom) {
    return clientArea(capture, {0, top, capture.clientWidth, std::min(bottom, capture.clientHeight)});
}

Band clientArea(const Capture& capture, const RECT& area) {
    Band band;
    band.width = area.right - area.left;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            band.pixels.push_back(capture.clientPixel(x, y));
        }
    }
    return band;
}

Ink inkOf(const Band& band) {
    Ink ink;
    for (std::size_t i = 0; i < band.pixels.size(); ++i) {
        const std::uint32_t pixel = band.pixels[i];
        const int luminance = (((pixel >> 16) & 0xFF) * 3 + ((pixel >> 8) & 0xFF) * 6 + (pixel & 0xFF)) / 10;
        if (luminance < 128) {
            const int x = static_cast<int>(i % band.width);
            ink.left = ink.left < 0 || x < ink.left ? x : ink.left;
            ink.right = x > ink.right ? x : ink.right;
            ++ink.pixels;
        }
    }
    return ink;
}

}  // namespace windowtest
