// A stand-in wizard for the setup's fault tests. It reads section
// [Fake Wizard] of the install.ini beside the hand-off file it is given:
//   Marker     a file written when it starts: its process id (POSIX, else 0)
//   Exit Code  the code it ends with (default 0)
//   Crash      non-zero: it is killed by SIGABRT instead (POSIX)
//   Wait       non-zero: it then waits up to a minute, so a signal can find it
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <quern/Myini.h>
#include "platform/CommandLine.h"
#include <quern/Platform.h>

using namespace quern;

int main(int argc, char** argv) {
    const std::string handOff = platform::ParameterString(argc, argv);
    const TMyIniFile settings(platform::ExtractFilePath(handOff) + "install.ini");
    const std::string marker = settings.ReadString("Fake Wizard", "Marker", "");
    if (!marker.empty()) {
        std::string pid = "0";
#ifndef _WIN32
        std::error_code ignored;
        pid = std::filesystem::read_symlink("/proc/self", ignored).string();
#endif
        std::ofstream(marker) << pid << "\n";
    }
    if (settings.ReadInteger("Fake Wizard", "Crash", 0) != 0) std::raise(SIGABRT);
    if (settings.ReadInteger("Fake Wizard", "Wait", 0) != 0) std::this_thread::sleep_for(std::chrono::seconds(60));
    return settings.ReadInteger("Fake Wizard", "Exit Code", 0);
}
