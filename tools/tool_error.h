// How welkara-sign reports a failure: one line "welkara-sign: <message>" on stderr, written by the
// code that knows what failed, which then returns false; the command ends with kExitError. Every helper
// that returns bool has written its line when it returns false. stdout carries only a command's result.
#pragma once

#include <cstdio>
#include <string>

constexpr int kExitRejected = 1;  // verify: the installer would reject the package; check-manifest: a trap
constexpr int kExitError = 2;     // the command could not do its work

// Writes the line and returns false, for `return toolError(...)`. The caller has already removed what
// it created.
inline bool toolError(const std::string& message) {
    std::fprintf(stderr, "welkara-sign: %s\n", message.c_str());
    return false;
}
