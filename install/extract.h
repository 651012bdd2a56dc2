// Archive extraction: writes the package as "archive.7z" and unpacks it into the current directory by
// running the pinned extractor (install/pinned_extractor.h) without a console, and waits for it to end.
// It runs in a job that ends it when the installer ends, however that happens, with an environment of
// its own. Its output goes to a file of its own in the current directory, quoted in the log when it
// fails (install/extractor_output.h) and removed in every case. The current directory is left as it
// was.
#pragma once

#include <windows.h>

#include <cstdint>

#include "install/pinned_extractor.h"

class InstallLog;

// Runs "7za.exe -y -bd x archive.7z" (answer yes to every query, so existing files are overwritten;
// no progress indicator) with the current directory and environment inherited, without a console:
// the checked bytes of `extractor` are written as a copy into `copyFolder` and that copy is started by
// its full path, inside a job that ends it once the installer's handle to the job is closed: when this
// call returns, or when the installer ends first. Standard input is the null device, standard output
// and errors go to a new file in the current directory, and no other handle is inherited. The copy is
// deleted once the extractor has ended. Returns true once the extractor has run and ended with exit
// code 0; nothing more is logged then. Returns false after the invoking line and one more line when
// `extractor` was not loaded (its own line), when the copy, the output file, the job or the standard
// handles cannot be made, or when it cannot be started. When it ends with any other exit code (or its
// exit code cannot be had), the last lines of its output come first (logExtractorOutput), then one line
// with the code (or the error), and the result is false. Blocks without a time limit.
bool extractUpdateFromFileToCwd(InstallLog& log, PinnedExtractor& extractor, const wchar_t* copyFolder);

// Writes the package (`bytes`, `length`) as "archive.7z" into `folder` and unpacks it there with
// extractUpdateFromFileToCwd (`extractor`, `copyFolder`). `folder` is the current
// directory meanwhile; the one before is restored afterwards, and the archive is deleted again on
// every path after it was created. On false the detail lines are written: "extractUpdate: Couldn't
// GetCurrentDirectory (%d)", "extractUpdate: Couldn't SetCurrentDirectory (%d)" (also when `folder`
// does not exist), "CreateFile(archive.7z) failed", "extractUpdate: write failed", "extractUpdate:
// FlushFileBuffers failed (%d)", or the extraction's own lines and "extractUpdateFromFileToCwd
// failed". The caller writes the final one.
bool extractUpdate(InstallLog& log, const wchar_t* folder, PinnedExtractor& extractor,
                   const wchar_t* copyFolder, const std::uint8_t* bytes, std::uint32_t length);

// Writes the last 20 non-blank lines of `output` (`length` bytes of the extractor's console output,
// in the OEM code page, lines ended by CR, LF or both) to `log`, each as "extractUpdate: 7za.exe: "
// and its text: control characters (U+0000 to U+001F, U+007F to U+009F) shown as "\xNN" in
// hexadecimal, cut so that the whole log line with its line feed holds at most 1000 characters. Lines
// of spaces and tabs count as blank. Only the first 64 KiB of `output` are read.
void logExtractorOutput(InstallLog& log, const char* output, int length);
