// Answers the next message box that any program on the desktop shows, for
// the Windows end-to-end script: a box answered through the window system's
// keyboard leaves key state behind under Wine, which then answers the next
// box by itself. Waits up to a minute, presses the box's button and prints
// "caption: text"; exit status 0, or 1 when no box came.
#include <iostream>

#include <quern/Platform.h>
#include "tests/platform/DialogCloser.h"

int main() {
    testing_support::DialogCloser closer(testing_support::DialogCloser::AllProcesses);
    for (int waited = 0; waited < 60'000; waited += 50) {
        const auto seen = closer.Seen();
        if (!seen.empty()) {
            std::cout << seen[0].Caption << ": " << seen[0].Text << std::endl;
            return 0;
        }
        quern::platform::SleepMilliseconds(50);
    }
    return 1;
}
