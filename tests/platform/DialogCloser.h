// Answers the message boxes that the calling thread shows while the object
// lives, recording what each said; asked to, also those of every other
// process on the desktop (a child program's). Windows only: a box is modal,
// so a test that makes the platform show one needs someone to press its
// button. Elsewhere the platform shows none and nothing is recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

struct SeenDialog {
    std::string Caption, Text;
    intptr_t Owner = 0;  // the owning window's handle, 0 for none
};

class DialogCloser {
public:
    enum Scope { ThisThread, AllProcesses };
    explicit DialogCloser(Scope scope = ThisThread);
    ~DialogCloser();
    DialogCloser(const DialogCloser&) = delete;
    DialogCloser& operator=(const DialogCloser&) = delete;
    std::vector<SeenDialog> Seen() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace testing_support
