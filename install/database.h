// The application's shared database file, "vorlinde.db" in the database folder (common application data
// with "Orvanta\Welkara" beneath it): made empty when it is missing, and open to every user of the
// machine by design. An existing file is left exactly as it is, wherever it is reached.
#pragma once

class InstallLog;

// Makes sure the database exists. Writes "Database ... already exists (which is fine)." or "Creating
// ..." and, on a failure, its detail line. Returns the final line of a failure ("Couldn't generate dest
// database pathname", "Couldn't create empty database"), or null when the file exists afterwards.
const wchar_t* prepareDatabase(InstallLog& log);
