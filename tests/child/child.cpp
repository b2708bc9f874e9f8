// Helper program of the launch tests. Its whole parameter string is the path
// of a request file holding "<milliseconds> <exit code>". It writes the
// parameter string exactly as it arrived to "<request>.seen", then sleeps for
// the given time and exits with the given code.
#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

// The parameter string as the launcher passed it. On Windows that is the
// command line after the program's name, not the runtime's split argv, so
// spaces and quoting arrive unchanged.
std::string ParameterString(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    const char* p = GetCommandLineA();
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
#else
    return argc > 1 ? argv[1] : "";
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const std::string request = ParameterString(argc, argv);
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
