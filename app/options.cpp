// The option parser is a three-state machine over UTF-16 code units:
//   between options --'/'--> in name --':'--> in value --' ' (unquoted)--> between options
//                               \--' '--> (applied without a value) --> between options
// Only U+0020 separates options. In a value every '"' toggles quoting and is dropped, so
// /url:"a b" gives "a b" and /url:a"b"c gives "abc". A name may take 32 handled characters (the ':' or
// space that ends it included) and a value 512 (stored characters plus the ending space): reaching
// either limit stops the parsing, so a name holds at most 31 characters and a value at most 511.
#include "app/options.h"

#include <cstddef>
#include <new>

char16_t* urlOverride = nullptr;
char16_t* signatureOverride = nullptr;
bool verifyOnly = false;
bool unattended = false;

namespace {

constexpr std::size_t kNameCapacity = 32;
constexpr std::size_t kValueCapacity = 512;

bool sameText(const char16_t* a, const char16_t* b) {
    while (*a != u'\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Replaces *setting with a private copy of value. When no memory can be had the earlier setting stays.
void replaceSetting(char16_t** setting, const char16_t* value) {
    std::size_t length = 0;
    while (value[length] != u'\0') {
        ++length;
    }
    char16_t* copy = new (std::nothrow) char16_t[length + 1];
    if (copy == nullptr) {
        return;
    }
    for (std::size_t i = 0; i <= length; ++i) {
        copy[i] = value[i];
    }
    delete[] * setting;
    *setting = copy;
}

enum class ParserState { BetweenOptions, InName, InValue };

}  // namespace

bool ApplyOption(const char16_t* name, const char16_t* value) {
    if (sameText(name, u"url")) {
        // Without ':' there is nothing to copy: the setting stays as it was and parsing goes on.
        if (value != nullptr) {
            replaceSetting(&urlOverride, value);
        }
        return false;
    }
    if (sameText(name, u"eddsa_signature")) {
        if (value != nullptr) {
            replaceSetting(&signatureOverride, value);
        }
        return false;
    }
    // The two switches can only be turned on; a value, if any, is ignored.
    if (sameText(name, u"verify_only")) {
        verifyOnly = true;
        return false;
    }
    if (sameText(name, u"unattended")) {
        unattended = true;
        return false;
    }
    return true;
}

void ParseCommandLine(const char16_t* commandLine) {
    parseOptions(commandLine, ApplyOption);
}

void parseOptions(const char16_t* commandLine, OptionHandler handler) {
    char16_t name[kNameCapacity] = {};
    char16_t value[kValueCapacity] = {};
    std::size_t nameLength = 0;
    std::size_t nameHandled = 0;  // characters handled in the name state since the '/'
    std::size_t valueLength = 0;
    std::size_t valueTaken = 0;  // stored characters plus the space that ends the value
    bool quoting = false;
    ParserState state = ParserState::BetweenOptions;

    for (const char16_t* p = commandLine;; ++p) {
        const char16_t c = *p;
        bool stop = false;
        switch (state) {
            case ParserState::BetweenOptions:
                if (c != u'/') {
                    return;  // end of the line, or text that is not an option
                }
                nameLength = 0;
                nameHandled = 0;
                state = ParserState::InName;
                break;

            case ParserState::InName:
                if (c == u'\0') {
                    if (nameLength != 0) {
                        name[nameLength] = u'\0';
                        handler(name, nullptr);
                    }
                    return;
                }
                ++nameHandled;
                if (c == u':') {
                    name[nameLength] = u'\0';
                    valueLength = 0;
                    valueTaken = 0;
                    quoting = false;
                    state = ParserState::InValue;
                } else if (c == u' ') {
                    name[nameLength] = u'\0';
                    stop = handler(name, nullptr);
                    state = ParserState::BetweenOptions;
                } else if (nameHandled < kNameCapacity) {
                    name[nameLength++] = c;
                }
                if (nameHandled >= kNameCapacity) {
                    stop = true;
                }
                break;

            case ParserState::InValue:
                if (c == u'\0') {
                    if (valueLength != 0) {
                        value[valueLength] = u'\0';
                        handler(name, value);
                    }
                    return;
                }
                if (c == u'"') {
                    quoting = !quoting;
                } else if (c == u' ' && !quoting) {
                    ++valueTaken;
                    value[valueLength] = u'\0';
                    stop = handler(name, value);
                    state = ParserState::BetweenOptions;
                } else {
                    ++valueTaken;
                    if (valueTaken < kValueCapacity) {
                        value[valueLength++] = c;
                    }
                }
                if (valueTaken >= kValueCapacity) {
                    stop = true;
                }
                break;
        }
        if (stop) {
            return;
        }
    }
}

void ReleaseOptions() {
    delete[] urlOverride;
    urlOverride = nullptr;
    delete[] signatureOverride;
    signatureOverride = nullptr;
}
