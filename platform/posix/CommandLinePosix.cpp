#include "../CommandLine.h"

namespace quern {

namespace platform {

std::string ParameterString(int argc, char** argv) {
    std::string parameters;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) parameters += ' ';
        parameters += argv[i];
    }
    return parameters;
}

}  // namespace platform

}  // namespace quern
