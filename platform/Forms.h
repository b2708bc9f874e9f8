// The windowing class library the bootstrap is written against: the
// application object, a form with a label and a progress bar. The drawing is
// done by a platform::WindowBackend.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <quern/Exceptions.h>
#include "Window.h"

namespace quern {

class TApplication;

// A progress bar with a 32-bit range. Setting Max below Min (or Min above
// Max) raises ERangeError "TProgressBar property out of range".
class TProgressBar {
public:
    explicit TProgressBar(platform::WindowBackend& backend) : backend_(backend) {}
    int32_t Min() const { return min_; }
    int32_t Max() const { return max_; }
    int32_t Position() const { return position_; }
    void SetMin(int32_t value);
    void SetMax(int32_t value);
    void SetPosition(int32_t value);

private:
    platform::WindowBackend& backend_;
    int32_t min_ = 0, max_ = 100, position_ = 0;
};

// The base of the program's forms: the backend's one window.
class TForm {
public:
    TForm(TApplication& application, const platform::FormDesign& design);
    virtual ~TForm() = default;
    TForm(const TForm&) = delete;
    TForm& operator=(const TForm&) = delete;

    void Hide();
    void Close();
    TApplication& Application() { return application_; }

    // OnCreate: runs once the window exists, before it is shown.
    virtual void FormCreate() {}
    // The private start message, delivered by the message loop.
    virtual void WMStartSetup() {}

private:
    TApplication& application_;
};

class TApplication {
public:
    explicit TApplication(std::unique_ptr<platform::WindowBackend> backend) : backend_(std::move(backend)) {}

    std::string Title;
    // The process exit status Run returns when the loop ends normally.
    int ExitCode = 0;

    platform::WindowBackend& Backend() { return *backend_; }
    void ProcessMessages() { backend_->ProcessMessages(); }
    void Terminate() { backend_->Terminate(); }

    // The default exception box: the message (with a full stop appended when
    // its last character's code is above that of "."), captioned with Title,
    // error icon, OK.
    void ShowException(const std::string& message);
    static std::string ExceptionBoxText(const std::string& message);

    // Creates the form's OnCreate, shows the window and runs the message loop.
    // An exception that escapes a handler is reported with ShowException and
    // then ends the program: Run returns 1. Otherwise Run returns ExitCode.
    int Run(TForm& mainForm);

private:
    std::unique_ptr<platform::WindowBackend> backend_;
};

}  // namespace quern
