// Reading a welkara-sign command's options and positional words in one pass over argv; see
// command_line.h for the rules.
#include "tools/command_line.h"

#include <algorithm>

#include "tools/tool_error.h"

bool parseCommandLine(int argc, char** argv, const std::vector<std::string>& allowed, CommandLine* line) {
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.compare(0, 2, "--") != 0) {
            line->positional.push_back(word);
            continue;
        }
        if (std::find(allowed.begin(), allowed.end(), word) == allowed.end()) {
            return toolError("unknown option " + word);
        }
        if (i + 1 >= argc) {
            return toolError(word + " needs a value");
        }
        if (!line->options.emplace(word, argv[++i]).second) {
            return toolError(word + " is given twice");
        }
    }
    return true;
}

bool requiredOption(const CommandLine& line, const std::string& name, std::string* value) {
    const auto found = line.options.find(name);
    if (found == line.options.end()) {
        return toolError(name + " is required");
    }
    *value = found->second;
    return true;
}

bool expectPositional(const CommandLine& line, std::size_t count, const char* what) {
    return line.positional.size() == count || toolError(std::string("expected ") + what);
}
