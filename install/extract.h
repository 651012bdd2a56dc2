// Archive extraction: unpacks "archive.7z" from the current directory into the current directory by
// running the 7-Zip console extractor "7za.exe" that lies beside the running executable, without a
// window, and waiting for it to end. Neither the archive's format nor the extractor's exit code or
// output is looked at; the current directory is left as it was.
#pragma once

class InstallLog;

// Runs "7za.exe -y -bd x archive.7z" (answer yes to every query, so existing files are overwritten;
// no progress indicator) with the installer's own folder's 7za.exe and the current directory and
// environment inherited. Returns true once the extractor has been started and has ended, whatever it
// did; false, after one log line, when the executable's own path is not available or the extractor
// cannot be started (for instance when 7za.exe is missing). Blocks without a time limit.
bool extractUpdateFromFileToCwd(InstallLog& log);
