#include "setup/SetupUnit.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "config/IniFiles.h"
#include "config/Myini.h"

#include "platform/Stream.h"
#include "setup/Genfile.h"
#include "setup/Payload.h"

const char* const ApplicationTitle = "Quillset Setup Utility";
const char* const CorruptDataMessage = "Error reading data. Possible corrupt file.";

platform::FormDesign SetupFormDesign() {
    platform::FormDesign d;
    d.Caption = "Setup";
    d.ClientWidth = 312;
    d.ClientHeight = 81;
    d.FontName = "MS Sans Serif";
    d.FontHeight = -11;
    d.LabelBounds = {8, 6, 304, 41};
    d.LabelCaption =
        "Please wait while Quillset prepares the Quillset Installation Wizard to guide you through the rest "
        "of the installation process.";
    d.ProgressBounds = {9, 51, 294, 22};
    return d;
}

TForm1::TForm1(TApplication& application, SetupServices services)
    : TForm(application, SetupFormDesign()),
      ProgressBar(application.Backend()),
      Label1(SetupFormDesign().LabelCaption),
      services_(std::move(services)) {}

void TForm1::FormCreate() { Application().Backend().PostStartSetup(); }

void TForm1::ShowProgress(int32_t& PercentageDone) { ProgressBar.SetPosition(PercentageDone); }

uint32_t RestartCodeFor(int32_t setting) { return setting == 1 ? EW_RESTARTWINDOWS : EW_REBOOTSYSTEM; }

namespace {
// Runs `cleanup` when the stage is left, by normal flow or by an exception.
template <typename F>
class Stage {
public:
    explicit Stage(F cleanup) : cleanup_(std::move(cleanup)) {}
    ~Stage() { cleanup_(); }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

private:
    F cleanup_;
};
}  // namespace

void TForm1::WMStartSetup() {
    bool found = false;
    int32_t RestartSetting = 0;
    const std::string exeName = services_.ModuleFileName();
    TFileStream exe(exeName, fmOpenRead | fmShareDenyNone);
    {
        // The buffer stage: the vector is released on every way out.
        std::vector<uint8_t> buffer(ScanBufferSize);
        PayloadLocation location;
        // An executable that ends at or before the scan start holds no
        // payload either: report it like a missing magic rather than leave a
        // window up that never closes.
        if (LocatePayload(exe, buffer.data(), location) == LocateOutcome::Found) {
            found = true;
            ProgressBar.SetMax(location.ArchiveLength);
            ProgressBar.SetPosition(0);
            const std::string TempArchive =
                services_.NewTempFileName ? services_.NewTempFileName() : NewTempFileName();
            Stage archiveStage([&TempArchive] { DeleteTempFileAndDirectory(TempArchive); });
            if (!CopyArchive(exe, buffer.data(), location.ArchiveLength, TempArchive, ProgressBar, Application())) {
                found = false;  // the appended data ends before the archive does
            } else {
                ProgressBar.SetMax(100);
                const InstallInputs inputs{TempArchive, location.PayloadStart, location.PayloadSize, exeName,
                                           buffer.data()};
                RestartSetting = services_.InstallSequence ? services_.InstallSequence(*this, inputs)
                                                           : RunInstallSequence(inputs);
            }
        }
    }
    if (RestartSetting != 0) services_.RequestRestart(RestartCodeFor(RestartSetting));
    if (!found) {
        Application().Backend().MessageBox(CorruptDataMessage, "Error", platform::MB_OK | platform::MB_ICONERROR);
        Application().ExitCode = 1;
        Application().Terminate();
    }
    Close();
}

namespace {
// The launch strings are null-terminated copies of at most 255 characters.
void CopyCut(char* to, const std::string& from) {
    const size_t n = std::min<size_t>(from.size(), 255);
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}
}  // namespace

int32_t TForm1::RunInstallSequence(const InstallInputs& in) {
    const std::string TempDir = AddBackslash(platform::ExtractFilePath(in.TempArchive));
    const std::string InstallerPath = TempDir + "inst32.exe";
    const std::string SettingsPath = TempDir + "install.ini";
    std::string ReadMePath = TempDir + "readme.txt";
    const std::string HandOffFile = ChangeFileExt(in.TempArchive, ".ini");
    TStringList LanguageList;

    // Every file the sequence creates is deleted on every way out: the
    // launch files first, then the language files. (Deleting them only once
    // the wizard is about to start would leave the wizard, its settings and a
    // partly written hand-off file behind after an early failure.)
    Stage cleanup([&] {
        platform::DeleteFile(SettingsPath);
        platform::DeleteFile(InstallerPath);
        if (!ReadMePath.empty()) platform::DeleteFile(ReadMePath);
        platform::DeleteFile(HandOffFile);
        for (int i = 0; i < LanguageList.Count(); ++i)
            platform::DeleteFile(TempDir + LanguageList.Strings(i) + ".lng");
    });

    const TShowProgressEvent progress = [this](int32_t& percent) { ShowProgress(percent); };
    ExtractArchiveFile(in.TempArchive, TempEntryName("install.ini"), SettingsPath, progress);
    ExtractArchiveFile(in.TempArchive, TempEntryName("inst32.exe"), InstallerPath, progress);
    ExtractArchiveFile(in.TempArchive, TempEntryName("readme.txt"), ReadMePath, progress);

    {
        TIniFile handOff(HandOffFile);
        handOff.WriteInteger("Params", "Start", in.PayloadStart);
        handOff.WriteInteger("Params", "Size", in.PayloadSize);
        handOff.WriteString("Params", "Source", in.ExeName);
        handOff.WriteString("Params", "ReadMe", ReadMePath);
        handOff.WriteString("Params", "Temp", in.TempArchive);
    }

    {
        TMyIniFile settings(SettingsPath);
        settings.ReadSection("Languages", LanguageList);
        for (int i = 0; i < LanguageList.Count(); ++i) {
            const std::string file = LanguageList.Strings(i) + ".lng";
            ExtractArchiveFile(in.TempArchive, TempEntryName(file), TempDir + file, progress);
        }
    }

    // A read-me the archive did not hold is not ours to delete, even if the
    // wizard makes one.
    if (!platform::FileExists(ReadMePath)) ReadMePath.clear();

    char installerFile[256];
    CopyCut(installerFile, InstallerPath);
    CopyCut(reinterpret_cast<char*>(in.Buffer), HandOffFile);

    Hide();
    RunAndWait(Application(), installerFile, reinterpret_cast<const char*>(in.Buffer), 1);

    TMyIniFile after(SettingsPath);
    return after.ReadInteger("General Settings", "Restart Windows", 0);
}

int32_t RunAndWait(TApplication& application, const char* file, const char* parameters, uint16_t show) {
    platform::ProcessHandle process = platform::NoProcess;
    if (!platform::LaunchProcess(file, parameters, show, process)) return -1;
    // The first wait comes before any message is processed.
    while (platform::WaitForProcess(process, 100) == platform::WaitResult::TimedOut) application.ProcessMessages();
    int32_t exitCode = 0;
    const bool ok = platform::GetProcessExitCode(process, exitCode);
    platform::CloseProcess(process);
    return ok ? exitCode : -1;
}

int RunSetupProgram(SetupServices services) {
    TApplication application(platform::CreateWindowBackend(ApplicationTitle));
    application.Title = ApplicationTitle;
    TForm1 form(application, std::move(services));
    return application.Run(form);
}
