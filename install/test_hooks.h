// The test hooks of the application's start and the local package: each asks whether a test build
// wants the system to answer otherwise than it would. The product build answers false to every one and
// it costs nothing; each test build turns one of them on with its definition (tests/install/*.cmake).
// Header only.
#pragma once

#include <windows.h>

// True when the restricted token is to be refused (WELKARA_TEST_REFUSE_RESTRICTED_TOKEN), with
// GetLastError ERROR_ACCESS_DENIED, as the system refuses it to a caller without the right.
inline bool restrictedTokenRefusedByTest() {
#if defined(WELKARA_TEST_REFUSE_RESTRICTED_TOKEN)
    SetLastError(ERROR_ACCESS_DENIED);
    return true;
#else
    return false;
#endif
}

// True when an opening of the package that asks for `access` is to be refused the right to delete
// (WELKARA_TEST_REFUSE_DELETE_ACCESS), with GetLastError ERROR_WRITE_PROTECT, as read-only media refuse it.
inline bool deleteAccessRefusedByTest([[maybe_unused]] DWORD access) {
#if defined(WELKARA_TEST_REFUSE_DELETE_ACCESS)
    if ((access & DELETE) != 0) {
        SetLastError(ERROR_WRITE_PROTECT);
        return true;
    }
#endif
    return false;
}

// True when the package is to be mapped wherever it lies (WELKARA_TEST_MAP_HOOKS).
inline bool mappedAnywhereByTest() {
#if defined(WELKARA_TEST_MAP_HOOKS)
    return true;
#else
    return false;
#endif
}
