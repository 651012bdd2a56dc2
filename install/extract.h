// Archive extraction: the package written as "archive.7z" into a folder and unpacked there by the
// pinned extractor (install/pinned_extractor.h), run without a console, in a job that ends it when the
// installer ends however that happens, and with an environment and an output file of its own.
#pragma once

#include <windows.h>

#include <cstdint>

#include "install/pinned_extractor.h"

class InstallLog;

// Runs "7za.exe -y -bd x archive.7z" (yes to every query, so existing files are overwritten; no
// progress indicator) in the current directory: the checked bytes of `extractor` are written as a copy
// into `copyFolder`, and that copy, started by its full path, runs in a job that ends it once the
// installer's handle to the job is closed (when this call returns, or when the installer ends first).
// Standard input is the null device, output and errors go to a new file in the current directory
// (removed in every case), no other handle is inherited, and the copy is deleted once the extractor has
// ended. True once it ended with exit code 0; nothing more is logged then. False after the invoking
// line and one more when `extractor` was not loaded (its own line), when the copy, the output file,
// the environment, the job or the standard handles cannot be made, or when it cannot be started. For
// any other exit code (or none to be had), its last 20 non-blank lines come first, each
// "extractUpdate: 7za.exe: " and its text quoted to fit a line of 1000 characters
// (install/extractor_output.h), then the line with the code (or the error). Blocks without a time limit.
bool extractUpdateFromFileToCwd(InstallLog& log, PinnedExtractor& extractor, const wchar_t* copyFolder);

// Writes the package (`bytes`, `length`) as "archive.7z" into `folder` and unpacks it there with
// extractUpdateFromFileToCwd (`extractor`, `copyFolder`). `folder` is the current directory meanwhile;
// the one before is restored afterwards, and the archive is deleted again on every path after it was
// created. On false the detail lines are written: "extractUpdate: Couldn't GetCurrentDirectory (%d)",
// "extractUpdate: Couldn't SetCurrentDirectory (%d)" (also when `folder` does not exist),
// "CreateFile(archive.7z) failed", "extractUpdate: write failed", "extractUpdate: FlushFileBuffers
// failed (%d)", or the extraction's own lines and "extractUpdateFromFileToCwd failed". The caller
// writes the final one.
bool extractUpdate(InstallLog& log, const wchar_t* folder, PinnedExtractor& extractor,
                   const wchar_t* copyFolder, const std::uint8_t* bytes, std::uint32_t length);
