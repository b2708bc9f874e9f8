// The setup bootstrap: finds the data appended to this executable, unpacks
// the installation wizard and runs it.
#include "setup/SetupUnit.h"

int main() { return RunSetupProgram(); }
