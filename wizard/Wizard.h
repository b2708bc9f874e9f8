// The reference installation wizard: started by the setup bootstrap with the
// hand-off file's path as its whole parameter string, it installs the
// payload that the hand-off file locates inside the setup executable.
//
// Settings, install.ini beside the hand-off file, [General Settings]:
//   Product Name       default "Quillset Product"
//   Install Directory  absolute path; default $HOME/<Product Name> on POSIX,
//                      %ProgramFiles%\<Product Name> on Windows. A relative
//                      path is refused: it would depend on the directory the
//                      shell happened to start the wizard in.
//   Key                archive key, default 0
//   Show ReadMe        non-zero (default 1): print the read-me first
//   Request Restart    non-zero: after a successful install, written back as
//                      "Restart Windows" for the bootstrap to act on
//   Report File        optional path of a run report (see Report.h)
#pragma once

#include <ostream>
#include <string>

namespace quern {

// Exit codes of the wizard.
enum WizardExit : int {
    weSuccess = 0,
    weInternal = 1,      // an unexpected failure
    weBadSettings = 2,   // no parameter; hand-off or install.ini missing or unusable
    weBadLocation = 3,   // Source cannot be opened or read; Start/Size outside it
    weBadPayload = 4,    // not an archive, damaged data, wrong key, unsupported method
    weUnsafeName = 5,    // an entry would land outside the destination; nothing written
    weWriteFailed = 6,   // destination, an installed file, install.ini or the report
};

// Runs the whole installation; texts go to out, the one failure line to err.
int RunWizard(const std::string& parameterString, std::ostream& out, std::ostream& err);

}  // namespace quern
