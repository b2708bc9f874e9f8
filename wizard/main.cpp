// inst32: the installation wizard the setup bootstrap starts (see Wizard.h).
#include <iostream>

#include "platform/CommandLine.h"
#include "wizard/Wizard.h"

using namespace quern;

int main(int argc, char** argv) {
    return RunWizard(platform::ParameterString(argc, argv), std::cout, std::cerr);
}
