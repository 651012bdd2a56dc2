// The final lines of a run: the last line that the installer thread writes to the install log, one
// for a successful installation and one for each kind of failure. They are listed here once; the
// scripts that watch a run (scripts/lib/installer_run.py) read them from this file, one constant per
// line in the form below, so keep that form.
#pragma once

namespace finalLine {

constexpr const wchar_t* kInstalled = L"Installer thread finished victorious and will exit shortly.\n";
constexpr const wchar_t* kVerified = L"Exiting after successful verification as requested\n";
constexpr const wchar_t* kNoCodePath = L"Couldn't generate dest code path\n";
constexpr const wchar_t* kNoDatabasePath = L"Couldn't generate dest database pathname\n";
constexpr const wchar_t* kNoDatabase = L"Couldn't create empty database\n";
constexpr const wchar_t* kNoLocalUpdatePath = L"Couldn't generate local update pathname\n";
constexpr const wchar_t* kNoLocalUpdate = L"Couldn't load local update\n";
constexpr const wchar_t* kNoDownload = L"Couldn't download file\n";
constexpr const wchar_t* kNotValid = L"Couldn't validate file\n";
// No line feed: tools that read stored logs know this line by the text that follows it.
constexpr const wchar_t* kNotRemoved = L"Couldn't remove existing files";
constexpr const wchar_t* kNotExtracted = L"Couldn't extract file\n";
// Another run works in the code folder.
constexpr const wchar_t* kBusy = L"Couldn't lock the code folder\n";
constexpr const wchar_t* kNotRecovered = L"Couldn't recover the previous installation\n";
// A run with /uninstall.
constexpr const wchar_t* kUninstalled = L"Uninstaller thread finished victorious and will exit shortly.\n";
constexpr const wchar_t* kNotUninstalled = L"Couldn't remove the installation\n";

}  // namespace finalLine
