// Command-line options of the installer: /url:VALUE, /eddsa_signature:VALUE, /verify_only,
// /unattended and /uninstall. ParseCommandLine runs once on the UI thread before any other thread exists; afterwards
// the settings are only read. Portable code: the command line is UTF-16 held as char16_t.
#pragma once

// The package URL given with /url:, used unchanged instead of the one built from the manifest; null
// when the option was not given. An empty value gives an empty string, which is not null.
extern char16_t* urlOverride;
// The Base64 package signature given with /eddsa_signature:, or null.
extern char16_t* signatureOverride;
// True when /verify_only was given: check the package and report, install nothing.
extern bool verifyOnly;
// True when /unattended was given: the run never waits for a person, starts no application, and its
// exit code tells how it ended.
extern bool unattended;
// True when /uninstall was given: remove the installation instead of installing; nothing is downloaded,
// checked or started.
extern bool uninstall;

// Applies the options on `commandLine` (zero-terminated, without the program's own name) from left to
// right. Anything it does not understand silently ends the parsing; options applied before that stay.
// Limits: an option name takes at most 31 characters, a value at most 511.
void ParseCommandLine(const char16_t* commandLine);

// The same grammar with another handler in place of ApplyOption: handler(name, value) is called for
// each complete option (value null without ':') and returns true to stop the parsing.
using OptionHandler = bool (*)(const char16_t* name, const char16_t* value);
void parseOptions(const char16_t* commandLine, OptionHandler handler);

// Applies one option. `value` is null when the option had no ':'. Returns true when parsing is to stop,
// that is for every name other than "url", "eddsa_signature", "verify_only", "unattended" and
// "uninstall".
bool ApplyOption(const char16_t* name, const char16_t* value);

// Releases both strings and sets them back to null. Called once the program has finished with them.
void ReleaseOptions();
