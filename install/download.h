// Package download: the package URL built from the manifest's "mode" and "version", and one HTTP(S)
// GET of a URL through WinINet that accepts only status "200" with a Content-Length from 512 KiB to
// 512 MiB and returns the whole body in one buffer. Every failure writes one line to the install log.
// Runs on the installer thread only; the URL buffer and the internet handle are process-wide.
#pragma once

#include <cstdint>

#include "install/package_bytes.h"

class InstallLog;
struct Manifest;

// Formats "<base>/welkara-32-<mode>-<version>.7z" into the process-wide URL buffer and returns it; the
// base is the build's package store URL, mode and version come from the manifest (defaults "devel" and
// "latest"; an absent manifest gives both defaults) and are inserted unchanged. A URL that would not
// fit in 511 characters is never cut short: the buffer is left empty and the result is null, which
// downloadUpdate refuses.
// The buffer stays valid until the process ends and is overwritten by the next call.
const wchar_t* buildUpdateUrl(const Manifest* manifest);

// Fetches `url` whole. On true, *package holds exactly the announced Content-Length of bytes, all of
// them received from the server. On false one line naming the failure is in the log, *package is
// untouched and nothing stays allocated. Blocks until WinINet completes or fails; no time-outs of its
// own.
bool downloadUpdate(InstallLog& log, const wchar_t* url, PackageBytes* package);
