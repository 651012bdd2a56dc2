// The application's shared database file, "vorlinde.db" in the database folder (common application data
// with "Orvanta\Welkara" beneath it): made empty when it is missing, and open to every user of the
// machine for using it. A new file and an existing one are reached the same way, through folders that
// are no links and belong to nobody but the system; an existing file's contents are left as they are.
#pragma once

class InstallLog;

// The access list that a new database gets, in SDDL: full control for the system and the
// administrators, and for Everyone every right that using a database needs (reading, writing,
// appending, attributes, extended attributes, execution, reading the list, waiting on it: 0x1201BF)
// but not DELETE, WRITE_DAC or WRITE_OWNER, so that no user can remove or rename the file, give it
// away or empty its folder to turn it into a junction. Protected: nothing comes from the folder.
constexpr const wchar_t* kDatabaseAccess = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;WD)";

// How the database step ended: the file exists afterwards, its path could not be built (no line is
// written), or it could not be made, opened or kept (a line says why).
enum class DatabaseState { ready, noPath, failed };

// Makes sure the database exists. Writes "Database ... already exists (which is fine)." (and, when the
// existing file's list let others take control of it, that it was narrowed) or "Creating ...", and on a
// failure its detail line. `access` is the list (SDDL) that a new file, or an existing one being
// narrowed, gets: always kDatabaseAccess in a run; a test gives a list that cannot be made, to see what
// a run does when a list cannot be set.
DatabaseState prepareDatabase(InstallLog& log, const wchar_t* access = kDatabaseAccess);
