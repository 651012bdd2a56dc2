// welkara-sign: the publisher's tool for keys, package signatures and manifests; kUsage lists its
// commands. Keys are made and packages signed with libsodium; every signature is checked with the
// installer's own verifier before it is printed, and verify reads its arguments as the installer does.
// Errors are one line on stderr and exit code 2; verify exits 1 for a package the installer would
// reject, check-manifest exits 1 when it found a trap. Output files are written whole or not at all.
#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "signature/ed25519.h"
#include "tools/command_line.h"
#include "tools/manifest_tool.h"
#include "tools/secret_key.h"
#include "tools/text.h"
#include "tools/tool_error.h"
#include "tools/whole_files.h"

namespace {

constexpr const char* kUsage =
    "usage: welkara-sign keygen --secret-key FILE\n"
    "       welkara-sign sign --secret-key FILE PACKAGE\n"
    "       welkara-sign verify --public-key B64 --signature B64 PACKAGE\n"
    "       welkara-sign manifest --out FILE [--version V] [--mode M] [--local-update-filename F] "
    "[--signature S]\n"
    "       welkara-sign check-manifest FILE\n";

// The installer receives the signature as UTF-16 and keeps the low 8 bits of each unit, up to the
// first unit whose low byte is zero.
bool narrowLikeTheInstaller(const std::string& utf8, std::string* narrow) {
    std::u16string wide;
    if (!utf8ToUtf16(utf8, &wide)) {
        return toolError("the signature is not valid UTF-8 text");
    }
    for (char16_t c : wide) {
        if ((c & 0xFF) == 0) {
            break;
        }
        *narrow += static_cast<char>(c & 0xFF);
    }
    return true;
}

// The --public-key value as the installer reads it: the Base64 of 32 bytes.
bool decodePublicKey(const std::string& text, std::uint8_t* key) {
    return decodeBase64Exactly(text, key, 32) || toolError("--public-key is not the Base64 of a 32-byte key");
}

int keygenCommand(const CommandLine& line) {
    std::string path;
    KeyPair keys;
    if (!expectPositional(line, 0, "no file name besides --secret-key FILE") ||
        !requiredOption(line, "--secret-key", &path) || !makeSecretKey(path, &keys)) {
        return kExitError;
    }
    std::printf("%s\n", base64Encode(keys.publicKey, sizeof keys.publicKey).c_str());
    return 0;
}

int signCommand(const CommandLine& line) {
    std::string keyPath;
    KeyPair keys;
    MappedFile package;
    if (!expectPositional(line, 1, "one PACKAGE file") || !requiredOption(line, "--secret-key", &keyPath) ||
        !loadSecretKey(keyPath, &keys) || !package.open(line.positional[0])) {
        return kExitError;
    }
    std::uint8_t signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, package.data(), package.size(), keys.secretKey);
    if (ed25519_verify_with_key(signature, package.data(), package.size(), keys.publicKey) != 1) {
        toolError("the installer's verifier rejects the signature just made; nothing is printed");
        return kExitError;
    }
    std::printf("%s\n", base64Encode(signature, sizeof signature).c_str());
    return 0;
}

int verifyCommand(const CommandLine& line) {
    std::string publicKeyText, signatureUtf8, signatureText;
    std::uint8_t publicKey[32];
    MappedFile package;
    if (!expectPositional(line, 1, "one PACKAGE file") ||
        !requiredOption(line, "--public-key", &publicKeyText) || !decodePublicKey(publicKeyText, publicKey) ||
        !requiredOption(line, "--signature", &signatureUtf8) ||
        !narrowLikeTheInstaller(signatureUtf8, &signatureText) || !package.open(line.positional[0])) {
        return kExitError;
    }
    std::uint8_t signature[64];
    if (!decodeBase64Exactly(signatureText, signature, sizeof signature)) {
        std::printf("rejected: the signature is not the Base64 of 64 bytes\n");
        return kExitRejected;
    }
    if (ed25519_verify_with_key(signature, package.data(), package.size(), publicKey) != 1) {
        std::printf("rejected: the signature does not match the package and key\n");
        return kExitRejected;
    }
    std::printf("accepted\n");
    return 0;
}

// The settings given as options, in the order the manifest lists them, each checked that the installer
// reads it back exactly.
bool settingsFromOptions(const CommandLine& line, std::vector<ManifestSetting>* settings) {
    const std::pair<const char*, const char16_t*> keys[] = {
        {"--version", u"version"},
        {"--mode", u"mode"},
        {"--local-update-filename", u"local_update_filename"},
        {"--signature", u"eddsa_signature"},
    };
    for (const auto& key : keys) {
        const auto option = line.options.find(key.first);
        if (option == line.options.end()) {
            continue;
        }
        std::u16string value;
        if (!utf8ToUtf16(option->second, &value)) {
            return toolError(std::string("the value of ") + key.first + " is not valid UTF-8 text");
        }
        const std::string problem = manifestValueProblem(key.second, value);
        if (!problem.empty()) {
            return toolError(problem);
        }
        settings->emplace_back(key.second, value);
    }
    return true;
}

int manifestCommand(const CommandLine& line) {
    if (!line.positional.empty()) {
        toolError("unexpected argument " + line.positional[0] +
                  " (settings are given as --version, --mode, --local-update-filename and --signature)");
        return kExitError;
    }
    std::string out;
    std::vector<ManifestSetting> settings;
    if (!requiredOption(line, "--out", &out) || !settingsFromOptions(line, &settings)) {
        return kExitError;
    }
    const std::string bytes = manifestFileBytes(settings);
    const ManifestCheck check = checkManifest(bytes);
    if (!check.warnings.empty()) {
        toolError("internal error: the manifest would not read back exactly: " + check.warnings[0]);
        return kExitError;
    }
    return writeWholeFile(out, bytes, true) ? 0 : kExitError;
}

int checkManifestCommand(const CommandLine& line) {
    std::string bytes;
    if (!expectPositional(line, 1, "one manifest FILE") || !readWholeFile(line.positional[0], &bytes)) {
        return kExitError;
    }
    const ManifestCheck check = checkManifest(bytes);
    for (const ManifestCheck::Effective& setting : check.settings) {
        std::string where = setting.isDefault ? "default" : "line " + std::to_string(setting.line);
        std::printf("%s = \"%s\" (%s)\n", utf16ToUtf8(setting.key).c_str(),
                    displayText(setting.value).c_str(), where.c_str());
    }
    for (const std::string& warning : check.warnings) {
        std::printf("warning: %s\n", warning.c_str());
    }
    return check.warnings.empty() ? 0 : kExitRejected;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitError;
    }
    const std::string command = argv[1];
    if (sodium_init() < 0) {
        toolError("libsodium could not be initialised");
        return kExitError;
    }
    const struct {
        const char* name;
        std::vector<std::string> options;
        int (*run)(const CommandLine& line);
    } commands[] = {
        {"keygen", {"--secret-key"}, keygenCommand},
        {"sign", {"--secret-key"}, signCommand},
        {"verify", {"--public-key", "--signature"}, verifyCommand},
        {"manifest",
         {"--out", "--version", "--mode", "--local-update-filename", "--signature"},
         manifestCommand},
        {"check-manifest", {}, checkManifestCommand},
    };
    for (const auto& known : commands) {
        if (command == known.name) {
            CommandLine line;
            return parseCommandLine(argc, argv, known.options, &line) ? known.run(line) : kExitError;
        }
    }
    if (command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    toolError("unknown command " + command + " (keygen, sign, verify, manifest, check-manifest)");
    return kExitError;
}
