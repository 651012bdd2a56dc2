// Archive extraction: unpacks "archive.7z" from the current directory into the current directory by
// running the 7-Zip console extractor "7za.exe" that lies beside the running executable, without a
// window, and waiting for it to end. Only the 7za.exe this build was made with runs: its SHA-512 is
// built in and checked through a handle that keeps the file from changing until the extractor ends.
// The current directory is left as it was.
#pragma once

class InstallLog;

// Runs "7za.exe -y -bd x archive.7z" (answer yes to every query, so existing files are overwritten;
// no progress indicator) with the installer's own folder's 7za.exe and the current directory and
// environment inherited. Returns true once the extractor has run and ended with exit code 0. Returns
// false after one log line when the executable's own path is not available, when 7za.exe cannot be
// opened or started (for instance when it is missing), when it is not the pinned extractor, or when
// it ends with any other exit code. Blocks without a time limit.
bool extractUpdateFromFileToCwd(InstallLog& log);
