// Runs the quern program as a child process through a POSIX shell.
#pragma once

#include <filesystem>
#include <string>

#include <quern/Platform.h>
#include "tests/support/LhaMember.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace archive_fixture {

struct ToolRun {
    int status;
    std::string out, err;
};

// The built quern, by an absolute path: the child runs inside its own directory.
inline std::string QuernProgram() { return testing_support::built::Quern; }

// Runs quern with the arguments (already quoted where needed) from `dir`.
inline ToolRun Quern(const testing_support::TempDir& dir, const std::string& arguments) {
    const std::string program = QuernProgram();
    const std::string command = "cd '" + dir.Path() + "' && '" + program + "' " + arguments + " >'" + dir / "stdout" +
                                "' 2>'" + dir / "stderr" + "'";
    ToolRun r{testing_support::RunCommand(command), testing_support::ReadFileText(dir / "stdout"),
              testing_support::ReadFileText(dir / "stderr")};
    platform::DeleteFile(dir / "stdout");
    platform::DeleteFile(dir / "stderr");
    return r;
}

}  // namespace archive_fixture
