// Reading a welkara-sign command's options and positional words in one pass over argv; see
// command_line.h for the rules.
#include "tools/command_line.h"

#include "tools/tool_error.h"

bool parseCommandLine(int argc, char** argv, const std::vector<std::string>& allowed, CommandLine* line) {
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.compare(0, 2, "--") != 0) {
            line->positional.push_back(word);
            continue;
        }
        bool known = false;
        for (const std::string& name : allowed) {
            known = known || word == name;
        }
        if (!known) {
            return toolError("unknown option " + word);
        }
        if (i + 1 >= argc) {
            return toolError(word + " needs a value");
        }
        for (const auto& earlier : line->options) {
            if (earlier.first == word) {
                return toolError(word + " is given twice");
            }
        }
        line->options.emplace_back(word, argv[++i]);
    }
    return true;
}

bool requiredOption(const CommandLine& line, const std::string& name, std::string* value) {
    for (const auto& option : line.options) {
        if (option.first == name) {
            *value = option.second;
            return true;
        }
    }
    return toolError(name + " is required");
}

bool expectPositional(const CommandLine& line, std::size_t count, const char* what) {
    return line.positional.size() == count || toolError(std::string("expected ") + what);
}
