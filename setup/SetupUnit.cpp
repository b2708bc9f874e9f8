#include "setup/SetupUnit.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <quern/IniFiles.h>
#include <quern/Myini.h>

#include <quern/Stream.h>
#include "setup/Genfile.h"
#include "setup/Payload.h"

namespace quern {

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
    int32_t RestartSetting = 0;
    const std::string exeName = services_.ModuleFileName();
    TFileStream exe(exeName, fmOpenRead | fmShareDenyNone);
    int status = seSuccess;
    // Every stage has been cleaned up by the time one of these arrives here.
    try {
        status = StartSetup(exeName, exe, RestartSetting);
    } catch (const ECorruptData&) {
        status = seCorruptData;
    } catch (const ETempDirectoryError& e) {
        Application().ShowException(e.Message);
        status = seTempDirectory;
    } catch (const EInterrupted& e) {
        status = seSignalBase + e.Signal;
    }
    // A signal while the wizard ran (passed on to it) or after the last check.
    if (const int signal = platform::PendingInterruption()) {
        status = seSignalBase + signal;
        RestartSetting = 0;
    }
    if (RestartSetting != 0) services_.RequestRestart(RestartCodeFor(RestartSetting));
    Application().ExitCode = status;
    if (status == seCorruptData)
        Application().Backend().MessageBox(CorruptDataMessage, "Error", platform::MB_OK | platform::MB_ICONERROR);
    if (status == seCorruptData || status == seTempDirectory || status >= seSignalBase) Application().Terminate();
    Close();
}

int TForm1::StartSetup(const std::string& exeName, TFileStream& exe, int32_t& RestartSetting) {
    // The buffer stage: the vector is released on every way out.
    std::vector<uint8_t> buffer(ScanBufferSize);
    PayloadLocation location;
    // An executable that ends at or before the scan start holds no payload
    // either: report it like a missing magic rather than leave a window up
    // that never closes.
    if (LocatePayload(exe, buffer.data(), location) != LocateOutcome::Found) throw ECorruptData();
    // Lengths that cannot be right are damage (a negative one would otherwise
    // surface as the progress bar's range error).
    if (!PayloadFitsFile(location, exe.Size())) throw ECorruptData();
    // Too short to be an archive: there is nothing to extract the wizard from.
    if (location.ArchiveLength < ArchiveHeaderSize) throw ECorruptData();
    IntegrityRecord record;
    const RecordOutcome recordOutcome = FindIntegrityRecord(exe, location, record);
    if (recordOutcome == RecordOutcome::Damaged) throw ECorruptData();
    const bool verify = recordOutcome == RecordOutcome::Present;
    exe.SetPosition(location.Offset + PayloadTrailerSize);

    const int64_t checked = location.ArchiveLength + (verify ? int64_t{location.PayloadSize} : 0);
    ProgressBar.SetMax(static_cast<int32_t>(std::min<int64_t>(checked, INT32_MAX)));
    ProgressBar.SetPosition(0);
    const std::string TempArchive = services_.NewTempFileName ? services_.NewTempFileName() : NewTempFileName();
    Stage archiveStage([&TempArchive] { DeleteTempFileAndDirectory(TempArchive); });
    // Nothing is extracted before the record has vouched for archive and payload.
    TCrc32 crc;
    if (verify) {
        const auto trailer = PayloadTrailer(location.ArchiveLength, location.PayloadSize);
        crc.Update(trailer.data(), trailer.size());
    }
    if (!CopyArchive(exe, buffer.data(), location.ArchiveLength, TempArchive, ProgressBar, Application(),
                     verify ? &crc : nullptr))
        throw ECorruptData();  // the appended data ends before the archive does
    if (verify) {
        ProgressBar.SetPosition(location.ArchiveLength);
        if (!HashPayload(exe, buffer.data(), location, crc, ProgressBar, Application()) || crc.Value() != record.DataCrc)
            throw ECorruptData();
    }
    ProgressBar.SetMax(100);
    CheckInterruption();

    const InstallInputs inputs{TempArchive, location.PayloadStart, location.PayloadSize, exeName, buffer.data()};
    const InstallOutcome outcome =
        services_.InstallSequence ? services_.InstallSequence(*this, inputs) : RunInstallSequence(inputs);
    if (!outcome.WizardStarted) return seWizardNotStarted;
    // A wizard that never ran to its end cannot have asked for a restart.
    if (outcome.WizardRanToEnd) RestartSetting = outcome.RestartSetting;
    return outcome.WizardExitCode;
}

void CopyLaunchString(char* to, const std::string& from) {
    const size_t n = std::min<size_t>(from.size(), 255);
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

InstallOutcome TForm1::RunInstallSequence(const InstallInputs& in) {
    const std::string TempDir = AddBackslash(platform::ExtractFilePath(in.TempArchive));
    const std::string InstallerPath = TempDir + "inst32.exe";
    const std::string SettingsPath = TempDir + "install.ini";
    std::string ReadMePath = TempDir + "readme.txt";
    const std::string HandOffFile = ChangeFileExt(in.TempArchive, ".ini");
    // The launch strings hold 255 characters: a longer path would be cut and
    // start whatever file the cut path names.
    if (InstallerPath.size() > 255 || HandOffFile.size() > 255)
        throw ETempDirectoryError("The temporary directory's path is too long: " + TempDir);
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
    // The wizard never runs on a file that failed to come out whole; a
    // target that could not be written is the temporary directory's fault.
    const auto extract = [&](const std::string& name, const std::string& target) {
        ExtractFailure failure;
        if (!services_.ExtractFile(in.TempArchive, TempEntryName(name), target, progress, &failure)) {
            if (failure.WriteFailed) throw ETempDirectoryError("Cannot write to " + target + ": " + failure.Message);
            throw ECorruptData();
        }
        CheckInterruption();
    };
    extract("install.ini", SettingsPath);
    extract("inst32.exe", InstallerPath);
    extract("readme.txt", ReadMePath);

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
        TStringList keys;
        settings.ReadSection("Languages", keys);
        // A key that is a path would extract and delete outside the directory.
        for (int i = 0; i < keys.Count(); ++i)
            if (IsSafeLanguageKey(keys.Strings(i))) LanguageList.Add(keys.Strings(i));
        for (int i = 0; i < LanguageList.Count(); ++i) {
            const std::string file = LanguageList.Strings(i) + ".lng";
            extract(file, TempDir + file);
        }
    }

    // A read-me the archive did not hold is not ours to delete, even if the
    // wizard makes one.
    if (!platform::FileExists(ReadMePath)) ReadMePath.clear();

    char installerFile[256];
    CopyLaunchString(installerFile, InstallerPath);
    CopyLaunchString(reinterpret_cast<char*>(in.Buffer), HandOffFile);

    Hide();
    InstallOutcome outcome;
    platform::ProcessHandle process = platform::NoProcess;
    if (platform::LaunchProcess(installerFile, reinterpret_cast<const char*>(in.Buffer), 1, process)) {
        int32_t exitCode = 0;
        outcome.WizardStarted = WaitForWizard(Application(), process, exitCode);
        outcome.WizardExitCode = exitCode;
        outcome.WizardRanToEnd =
            outcome.WizardStarted && !platform::ProcessCrashed(process) && platform::PendingInterruption() == 0;
        platform::CloseProcess(process);
    }
    if (outcome.WizardRanToEnd) {
        TMyIniFile after(SettingsPath);
        outcome.RestartSetting = after.ReadInteger("General Settings", "Restart Windows", 0);
    }
    return outcome;
}

bool WaitForWizard(TApplication& application, platform::ProcessHandle process, int32_t& exitCode) {
    uint32_t forwarded = 0;
    // The first wait comes before any message is processed.
    while (platform::WaitForProcess(process, 100) == platform::WaitResult::TimedOut) {
        if (const uint32_t count = platform::InterruptionCount(); count != forwarded) {
            platform::ForwardInterruption(process, platform::PendingInterruption());
            forwarded = count;
        }
        application.ProcessMessages();
    }
    return platform::GetProcessExitCode(process, exitCode);
}

int32_t RunAndWait(TApplication& application, const char* file, const char* parameters, uint16_t show) {
    platform::ProcessHandle process = platform::NoProcess;
    if (!platform::LaunchProcess(file, parameters, show, process)) return -1;
    int32_t exitCode = 0;
    const bool ok = WaitForWizard(application, process, exitCode);
    platform::CloseProcess(process);
    return ok ? exitCode : -1;
}

int RunSetupProgram(SetupServices services) {
    platform::CatchInterruptions();
    TApplication application(platform::CreateWindowBackend(ApplicationTitle));
    application.Title = ApplicationTitle;
    TForm1 form(application, std::move(services));
    return application.Run(form);
}

}  // namespace quern
