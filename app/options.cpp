// The option parser reads UTF-16 code units from left to right: '/' opens an option, whose name ends at
// ':' (a value follows) or at U+0020 (applied without a value); a value ends at an unquoted U+0020, the
// only separator of options. In a value every '"' toggles quoting and is dropped, so /url:"a b" gives
// "a b" and /url:a"b"c gives "abc". A name may take 32 handled characters (the ':' or space that ends it
// included) and a value 512 (stored characters plus the ending space): reaching either limit stops the
// parsing, so a name holds at most 31 characters and a value at most 511.
#include "app/options.h"

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

char16_t* urlOverride = nullptr;
char16_t* signatureOverride = nullptr;
bool verifyOnly = false;
bool unattended = false;
bool uninstall = false;

namespace {

constexpr std::size_t kNameCapacity = 32;
constexpr std::size_t kValueCapacity = 512;

// Replaces *setting with a private copy of value. When no memory can be had the earlier setting stays.
void replaceSetting(char16_t** setting, const char16_t* value) {
    const std::size_t length = std::char_traits<char16_t>::length(value);
    char16_t* copy = new (std::nothrow) char16_t[length + 1];
    if (copy == nullptr) {
        return;
    }
    std::char_traits<char16_t>::copy(copy, value, length + 1);
    delete[] * setting;
    *setting = copy;
}

}  // namespace

bool ApplyOption(const char16_t* name, const char16_t* value) {
    const std::u16string_view option(name);
    if (option == u"url" || option == u"eddsa_signature") {
        // Without ':' there is nothing to copy: the setting stays as it was and parsing goes on.
        if (value != nullptr) {
            replaceSetting(option == u"url" ? &urlOverride : &signatureOverride, value);
        }
        return false;
    }
    // The switches can only be turned on; a value, if any, is ignored.
    bool* const turnedOn = option == u"verify_only"  ? &verifyOnly
                           : option == u"unattended" ? &unattended
                           : option == u"uninstall"  ? &uninstall
                                                     : nullptr;
    if (turnedOn != nullptr) {
        *turnedOn = true;
        return false;
    }
    return true;
}

void ParseCommandLine(const char16_t* commandLine) {
    parseOptions(commandLine, ApplyOption);
}

void parseOptions(const char16_t* commandLine, OptionHandler handler) {
    char16_t name[kNameCapacity];
    char16_t value[kValueCapacity];
    const char16_t* p = commandLine;
    // Applies the option whose name or value ends at *p. At the end of the line an empty one applies
    // nothing and parsing ends; after a space it goes on unless the handler or the limit stops it.
    const auto applyAndGoOn = [&](const char16_t* optionValue, std::size_t length, std::size_t capacity) {
        if (*p == u'\0') {
            if (length != 0) {
                handler(name, optionValue);
            }
            return false;
        }
        return !handler(name, optionValue) && length + 1 < capacity;
    };
    while (*p == u'/') {
        std::size_t nameLength = 0;
        for (++p; *p != u'\0' && *p != u' '; ++p) {
            if (nameLength + 1 == kNameCapacity) {
                return;  // the name's last handled character, ':' included
            }
            if (*p == u':') {
                break;
            }
            name[nameLength++] = *p;
        }
        name[nameLength] = u'\0';
        if (*p != u':') {
            if (!applyAndGoOn(nullptr, nameLength, kNameCapacity)) {
                return;
            }
            ++p;
            continue;
        }
        std::size_t valueLength = 0;
        bool quoting = false;
        for (++p; *p != u'\0' && (*p != u' ' || quoting); ++p) {
            if (*p == u'"') {
                quoting = !quoting;
            } else if (valueLength + 1 == kValueCapacity) {
                return;
            } else {
                value[valueLength++] = *p;
            }
        }
        value[valueLength] = u'\0';
        if (!applyAndGoOn(value, valueLength, kValueCapacity)) {
            return;
        }
        ++p;
    }
}

void ReleaseOptions() {
    delete[] urlOverride;
    urlOverride = nullptr;
    delete[] signatureOverride;
    signatureOverride = nullptr;
}
