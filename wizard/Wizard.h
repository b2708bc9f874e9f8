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
//   Message Boxes      0: the last word of a run is not shown in a box
//                      (unattended installs: the exit code and the report
//                      tell); default 1
#pragma once

#include <functional>
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

// The last word of a run: the "Done" text, or the failure line. Caption: the
// product name.
using TFinalMessage = std::function<void(const std::string& text, const std::string& caption, bool failure)>;

// Shows the last word in a message box where the console would take it away
// unread: started by the setup, a windowed program, the wizard gets a console
// of its own that closes as it ends. From a command prompt, with its output
// redirected, and on POSIX, the text stays where it was written.
void ShowFinalMessageWhereItWouldBeLost(const std::string& text, const std::string& caption, bool failure);

// Runs the whole installation; texts go to out, the one failure line to err,
// and the last word also to finalMessage unless "Message Boxes" is 0.
int RunWizard(const std::string& parameterString, std::ostream& out, std::ostream& err,
              const TFinalMessage& finalMessage = ShowFinalMessageWhereItWouldBeLost);

}  // namespace quern
