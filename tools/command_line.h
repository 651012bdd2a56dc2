// The arguments of a welkara-sign command: argv[1] names the command; after it come "--name value"
// options, each from the command's own list and given once, and positional words (failures: tool_error.h).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

struct CommandLine {
    std::map<std::string, std::string> options;  // name ("--secret-key") to value
    std::vector<std::string> positional;
};

// Reads argv[2, argc) into *line: a word beginning "--" must be one of `allowed`, given once, and takes
// the next word as its value; every other word is positional.
bool parseCommandLine(int argc, char** argv, const std::vector<std::string>& allowed, CommandLine* line);

// The value of the option `name`, which must have been given.
bool requiredOption(const CommandLine& line, const std::string& name, std::string* value);

// Exactly `count` positional words; otherwise the line says "expected <what>".
bool expectPositional(const CommandLine& line, std::size_t count, const char* what);
