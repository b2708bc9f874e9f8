#include <windows.h>

#include "../CommandLine.h"

namespace quern {

namespace platform {

// argv is the C runtime's split of the command line, which drops quotes and
// cuts at blanks; the raw line keeps the parameter string exactly as given.
std::string ParameterString(int, char**) {
    const char* line = GetCommandLineA();
    return ParametersAfterProgramName(line ? line : "");
}

}  // namespace platform

}  // namespace quern
