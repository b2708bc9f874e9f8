// Helper program of the launch tests. Its whole parameter string is the path
// of a request file holding "<milliseconds> <exit code>". It writes the
// parameter string exactly as it arrived to "<request>.seen", then sleeps for
// the given time and exits with the given code.
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "platform/CommandLine.h"

using namespace quern;

int main(int argc, char** argv) {
    const std::string request = platform::ParameterString(argc, argv);
    long milliseconds = 0;
    int exitCode = 0;
    {
        std::ifstream in(request);
        if (!(in >> milliseconds >> exitCode)) return 99;
    }
    {
        std::ofstream seen(request + ".seen", std::ios::binary);
        seen << request;
        if (!seen) return 98;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return exitCode;
}
