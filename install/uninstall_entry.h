// The installation's entry in Apps & features: the key
// HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvanta Welkara in the registry view of a
// 32-bit program (KEY_WOW64_32KEY; on 64-bit Windows under Wow6432Node), which the system lists with
// its values. Every value is written anew by each registration; nothing in it is ever read back.
#pragma once

class InstallLog;

// Writes every value of the entry for the installation in `codeFolder` (a full path), whose uninstaller
// is the program `uninstaller` (a full path):
//   DisplayName           "Orvanta Welkara"
//   DisplayVersion        the product version of <codeFolder>\welkara.exe's version resource
//   Publisher             "CompanyName" of the running program's own version resource
//   InstallLocation       codeFolder
//   DisplayIcon           <codeFolder>\welkara.exe
//   EstimatedSize         KiB (rounded up, at most 0xFFFFFFFF) of every file in the code folder at any
//                         depth but its top entry ".installer"; links and junctions count as nothing
//                         and are not entered, and a folder that cannot be listed counts as empty
//   NoModify, NoRepair    1
//   UninstallString       "<uninstaller>" /uninstall
//   QuietUninstallString  "<uninstaller>" /uninstall /unattended
// DisplayVersion and Publisher are deleted when there is no such resource or text, so that an earlier
// registration's value never stays. Writes nothing when it succeeds; false after the line
// "Couldn't write the Apps & features entry <key> (<error>)".
bool registerInstallation(InstallLog& log, const wchar_t* codeFolder, const wchar_t* uninstaller);

// Removes the key with its values. True when it is gone, or was never there; false after the line
// "Couldn't remove the Apps & features entry <key> (<error>)".
bool unregisterInstallation(InstallLog& log);
