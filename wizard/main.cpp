// inst32: the installation wizard the setup bootstrap starts (see Wizard.h).
#include <iostream>
#include <string>

#include "platform/CommandLine.h"
#include "wizard/Wizard.h"

using namespace quern;

namespace {

const char* const Usage =
    "usage: inst32 HAND-OFF-FILE\n"
    "       inst32 --help | --version\n"
    "\n"
    "The reference installation wizard. The setup program extracts it with its\n"
    "settings (install.ini), language files and read-me into a temporary\n"
    "directory, writes the hand-off file there and starts it with that file's\n"
    "path as its whole command line; it is not meant to be started by hand.\n"
    "It installs the payload that the hand-off file locates inside the setup\n"
    "into the \"Install Directory\" that install.ini names. On Windows, in a\n"
    "console of its own (as the setup starts it), it also shows its last word\n"
    "in a message box, unless install.ini says \"Message Boxes=0\".\n"
    "\n"
    "Options:\n"
    "  -h, --help  print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the payload is installed\n"
    "  1  an internal failure\n"
    "  2  no hand-off file given, or it or install.ini is missing or unusable\n"
    "  3  the payload's location in the setup is wrong or cannot be read\n"
    "  4  the payload is damaged, locked with another key, or of an unknown method\n"
    "  5  an entry's name would land outside the install directory; nothing written\n"
    "  6  a file, the install directory, install.ini or the report could not be\n"
    "     written\n"
    "\n"
    "Example (what the setup does):\n"
    "  inst32 /tmp/qnt5F3A.ini\n";

}  // namespace

int main(int argc, char** argv) {
    // The whole command line is the hand-off file's path, which the setup
    // always gives in full: these words cannot be one.
    const std::string parameters = platform::ParameterString(argc, argv);
    const size_t first = parameters.find_first_not_of(" \t");
    const std::string word = first == std::string::npos ? std::string()
                                                        : parameters.substr(first, parameters.find_last_not_of(" \t") + 1 - first);
    if (word == "--help" || word == "-h") {
        std::cout << Usage;
        return 0;
    }
    if (word == "--version") {
        std::cout << "inst32 " << QUERN_VERSION << "\n";
        return 0;
    }
    return RunWizard(parameters, std::cout, std::cerr);
}
