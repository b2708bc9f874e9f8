// The bootstrap's form and start handler, the installation sequence around
// the wizard's run, and the launch and restart operations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Forms.h"
#include <quern/Platform.h>
#include <quern/Stream.h>
#include "setup/Genfile.h"

namespace quern {

constexpr uint32_t WM_STARTSETUP = 0x0400 + 1234;  // WM_USER + 1234 = 2258
constexpr uint32_t EW_RESTARTWINDOWS = 0x42;
constexpr uint32_t EW_REBOOTSYSTEM = 0x43;

extern const char* const ApplicationTitle;    // "Quillset Setup Utility"
extern const char* const CorruptDataMessage;  // "Error reading data. Possible corrupt file."

// The setup's exit status. When the wizard ran, its exit code; otherwise:
enum SetupExit : int {
    seSuccess = 0,
    seFailure = 1,           // any other failure, shown in the error box (e.g. the hand-off file)
    seCorruptData = 81,      // "Error reading data. Possible corrupt file."
    seWizardNotStarted = 82, // no wizard in the archive, or it could not be started
    seTempDirectory = 83,    // temporary directory missing, unwritable, full, or its paths too long
    seSignalBase = 128,      // + n: stopped by signal n (POSIX SIGINT, SIGTERM, SIGHUP)
};

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

// What the installation sequence delivers to the start handler.
struct InstallOutcome {
    bool WizardStarted = false;
    // Started, waited for until it ended by itself: not killed, not crashed,
    // and the setup not interrupted meanwhile. Only then may it restart.
    bool WizardRanToEnd = false;
    int32_t WizardExitCode = 0;
    int32_t RestartSetting = 0;
};

// The places where tests look in or stand in; the defaults are the real ones.
struct SetupServices {
    std::function<std::string()> ModuleFileName = platform::ModuleFileName;
    // The temporary archive's name (tests plant files beside it).
    std::function<std::string()> NewTempFileName;
    // Never a real restart in a test.
    std::function<void(uint32_t code)> RequestRestart = platform::RequestRestart;
    // Empty: the real installation sequence.
    std::function<InstallOutcome(TForm1& form, const InstallInputs& inputs)> InstallSequence;
    // The extraction of one file (ExtractArchiveFile); tests watch the order.
    std::function<bool(const std::string& archive, const std::string& wanted, const std::string& target,
                       const TShowProgressEvent& progress, ExtractFailure* failure)>
        ExtractFile = ExtractArchiveFile;
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
    // Extracts the wizard's files, runs the wizard and cleans up. Raises
    // ECorruptData when an extraction fails, ETempDirectoryError when the
    // launch paths would be cut, EInterrupted for a signal before the wizard.
    InstallOutcome RunInstallSequence(const InstallInputs& inputs);

private:
    // Steps 1 to 8 of the start handler; the exit status.
    int StartSetup(const std::string& exeName, TFileStream& exe, int32_t& RestartSetting);
    SetupServices services_;
};

// Copies `from` as a null-terminated string of at most 255 characters to
// `to` (256 bytes): the launch strings of the shell's record.
void CopyLaunchString(char* to, const std::string& from);

// 0x42 for a setting of 1, 0x43 for any other non-zero setting.
uint32_t RestartCodeFor(int32_t setting);

// Starts `file` with `parameters` as its whole parameter string and waits for
// it in 100 ms steps, processing messages between them. The exit code, or -1
// when the launch or the exit-code query fails.
int32_t RunAndWait(TApplication& application, const char* file, const char* parameters, uint16_t show);

// The wait of RunAndWait for a started process: the first wait comes before
// any message is processed; a signal that reaches the setup meanwhile is
// passed on to the process, and the wait goes on until it has ended.
// False when the exit code cannot be had.
bool WaitForWizard(TApplication& application, platform::ProcessHandle process, int32_t& exitCode);

// The program: application object, form, message loop. The exit status.
int RunSetupProgram(SetupServices services = {});

}  // namespace quern
