// The application's shared database file, "vorlinde.db" in the database folder (common application data
// with "Orvanta\Welkara" beneath it): made empty when it is missing, and open to every user of the
// machine for using it. An existing file is left exactly as it is, wherever it is reached.
#pragma once

class InstallLog;

// The access list that a new database gets, in SDDL: full control for the system and the
// administrators, and for Everyone every right that using a database needs (reading, writing,
// appending, attributes, extended attributes, execution, reading the list, waiting on it: 0x1201BF)
// but not DELETE, WRITE_DAC or WRITE_OWNER, so that no user can remove or rename the file, give it
// away or empty its folder to turn it into a junction. Protected: nothing comes from the folder.
constexpr const wchar_t* kDatabaseAccess = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;WD)";

// Makes sure the database exists. Writes "Database ... already exists (which is fine)." or "Creating
// ..." and, on a failure, its detail line. Returns the final line of a failure ("Couldn't generate dest
// database pathname", "Couldn't create empty database"), or null when the file exists afterwards.
const wchar_t* prepareDatabase(InstallLog& log);
