// The setup bootstrap: finds the data appended to this executable, unpacks
// the installation wizard and runs it.
#include "setup/SetupUnit.h"

using namespace quern;

int main() { return RunSetupProgram(); }
