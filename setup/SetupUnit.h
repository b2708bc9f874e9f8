// The bootstrap's form and start handler, the installation sequence around
// the wizard's run, and the launch and restart operations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Forms.h"
#include "platform/Platform.h"

constexpr uint32_t WM_STARTSETUP = 0x0400 + 1234;  // WM_USER + 1234 = 2258
constexpr uint32_t EW_RESTARTWINDOWS = 0x42;
constexpr uint32_t EW_REBOOTSYSTEM = 0x43;

extern const char* const ApplicationTitle;    // "Quillset Setup Utility"
extern const char* const CorruptDataMessage;  // "Error reading data. Possible corrupt file."

// The form as its resource describes it.
platform::FormDesign SetupFormDesign();

class TForm1;

// What the start handler hands to the installation sequence.
struct InstallInputs {
    std::string TempArchive;
    int32_t PayloadStart = 0;
    int32_t PayloadSize = 0;
    std::string ExeName;
    uint8_t* Buffer = nullptr;  // the handler's 32001-byte buffer
};

// The places where tests look in or stand in; the defaults are the real ones.
struct SetupServices {
    std::function<std::string()> ModuleFileName = platform::ModuleFileName;
    // The temporary archive's name (tests plant files beside it).
    std::function<std::string()> NewTempFileName;
    // Never a real restart in a test.
    std::function<void(uint32_t code)> RequestRestart = platform::RequestRestart;
    // Empty: the real installation sequence. Returns RestartSetting.
    std::function<int32_t(TForm1& form, const InstallInputs& inputs)> InstallSequence;
};

class TForm1 : public TForm {
public:
    TForm1(TApplication& application, SetupServices services = {});

    TProgressBar ProgressBar;
    std::string Label1;

    void FormCreate() override;
    void WMStartSetup() override;
    // Progress handler given to the archive component (0..100; does not pump).
    void ShowProgress(int32_t& PercentageDone);
    // Extracts the wizard's files, runs the wizard and cleans up; RestartSetting.
    int32_t RunInstallSequence(const InstallInputs& inputs);

private:
    SetupServices services_;
};

// 0x42 for a setting of 1, 0x43 for any other non-zero setting.
uint32_t RestartCodeFor(int32_t setting);

// Starts `file` with `parameters` as its whole parameter string and waits for
// it in 100 ms steps, processing messages between them. The exit code, or -1
// when the launch or the exit-code query fails.
int32_t RunAndWait(TApplication& application, const char* file, const char* parameters, uint16_t show);

// The program: application object, form, message loop. The exit status.
int RunSetupProgram(SetupServices services = {});
