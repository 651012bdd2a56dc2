// Loading the "manifest" file that lies beside the installer executable. Every outcome but a failure
// to learn the executable's own path writes one line to the install log; nothing here stops the
// installation, a manifest that cannot be loaded only leaves every setting at its default.
#pragma once

#include <windows.h>

#include "settings/manifest_grammar.h"

class InstallLog;

// Full path of the manifest file, filled by loadManifest; it stays valid until the process ends.
extern wchar_t manifestPath[MAX_PATH];

// Reads and parses the manifest beside the executable. Returns the new Manifest (release it with
// releaseManifest), or null when there is none.
Manifest* loadManifest(InstallLog& log);

// A UTF-16 text (a manifest key or value) as the wide string that Windows code holds.
inline const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

// lookupManifest with wide strings, as Windows code holds them.
inline const wchar_t* lookupManifest(const Manifest* manifest, const wchar_t* key,
                                     const wchar_t* defaultValue) {
    return wide(lookupManifest(manifest, reinterpret_cast<const char16_t*>(key),
                               reinterpret_cast<const char16_t*>(defaultValue)));
}
