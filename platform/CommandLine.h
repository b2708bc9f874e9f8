// The parameter string a program was started with. The setup bootstrap hands
// the wizard one path, unquoted, as its whole parameter string, and that path
// may contain blanks; so the text is taken whole rather than split into words.
#pragma once

#include <string>

namespace quern {

namespace platform {

// Windows: the raw command line after the program's name (GetCommandLineA).
// POSIX: argv[1], or all arguments joined with single blanks when there are
// several (a shell that split the path at its blanks). Empty without any.
std::string ParameterString(int argc, char** argv);

// The part of a Windows command line after its first token: the program's
// name, quoted ("...", blanks allowed inside) or up to the first blank, then
// the blanks (space, tab) that follow it. Everything after is kept unchanged.
inline std::string ParametersAfterProgramName(const std::string& commandLine) {
    size_t i = 0;
    if (i < commandLine.size() && commandLine[i] == '"') {
        const size_t close = commandLine.find('"', 1);
        i = close == std::string::npos ? commandLine.size() : close + 1;
    }
    // An unquoted name, or text glued to a closing quote, runs to the next blank.
    while (i < commandLine.size() && commandLine[i] != ' ' && commandLine[i] != '\t') ++i;
    while (i < commandLine.size() && (commandLine[i] == ' ' || commandLine[i] == '\t')) ++i;
    return commandLine.substr(i);
}

}  // namespace platform

}  // namespace quern
