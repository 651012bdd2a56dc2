// The package signature check: decodes a Base64 signature text, verifies it over the package with the
// built-in key (packagePublicKey) and writes what it did to the install log. Windows side: the text
// arrives as UTF-16 from the command line or the manifest.
#pragma once

#include <cstdint>

#include "install/install_log.h"

// Returns true exactly when signatureText is the Base64 of a 64-byte signature that ed25519_verify
// accepts for package[0, length). Each UTF-16 unit of the text counts as its low 8 bits, and the text
// ends at the first unit whose low 8 bits are zero. Log lines, in order:
//   "Verifying with base64 signature %ls\n" (always, with the text as given);
//   then nothing more for a text that is not valid Base64 (or null);
//   else "verify_eddsa: signature length (%ld) incorrect\n" when it does not decode to 64 bytes;
//   else "verify_eddsa: verify result: %d\n" with the verifier's result.
// "verify_eddsa: out of memory\n" and false when a copy of the text cannot be allocated. Changes none
// of the caller's data and keeps nothing after it returns. package may be null when length is 0.
bool verify_eddsa(InstallLog& log, const std::uint8_t* package, std::uint32_t length,
                  const wchar_t* signatureText);
