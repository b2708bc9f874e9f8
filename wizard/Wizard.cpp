#include "wizard/Wizard.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "archive/CodePage.h"
#include "archive/EntryNames.h"
#include <quern/Quern.h>
#include <quern/IniFiles.h>
#include <quern/Myini.h>
#include "config/StrToInt.h"
#include <quern/Platform.h>
#include <quern/Stream.h>
#include "platform/ToolSupport.h"
#include "wizard/Messages.h"
#include "wizard/Report.h"
#include "wizard/SpanStream.h"

namespace quern {

namespace {

constexpr bool WindowsPaths = platform::PathDelim == '\\';
const char* const GeneralSettings = "General Settings";
// ReadString's default for a key that is absent: no line's value can hold it.
const std::string Absent = "\n";
const char* const DefaultProductName = "Quillset Product";

class EWizardFailure : public Exception {
public:
    EWizardFailure(int exitCode, std::string message) : Exception(std::move(message)), ExitCode(exitCode) {}
    int ExitCode;
};

[[noreturn]] void Fail(int exitCode, const std::string& message) { throw EWizardFailure(exitCode, message); }

bool IsSeparator(char c) { return c == platform::PathDelim || (WindowsPaths && c == '/'); }

std::string DirectoryPart(const std::string& path) {
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i)
        if (IsSeparator(path[i]) || (WindowsPaths && path[i] == ':')) cut = i;
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool IsAbsolutePath(const std::string& path) {
    if constexpr (WindowsPaths) {
        const bool drive = path.size() >= 3 && path[1] == ':' && IsSeparator(path[2]);
        const bool unc = path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]);
        return drive || unc;
    } else {
        return !path.empty() && path[0] == '/';
    }
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The parameter string is the path itself. Blanks after it (cmd.exe leaves
// the one before a redirection) and quotes around it (a hand-made shortcut)
// are dropped; the hand-off file's own name never ends in a blank.
std::string HandOffPathFrom(std::string parameters) {
    while (!parameters.empty() && (parameters.back() == ' ' || parameters.back() == '\t')) parameters.pop_back();
    if (parameters.size() >= 2 && parameters.front() == '"' && parameters.back() == '"')
        parameters = parameters.substr(1, parameters.size() - 2);
    return parameters;
}

// A directory name made of the product name: separators and ":" would turn
// it into a path.
std::string DirectoryNameOf(std::string product) {
    for (char& c : product)
        if (c == '/' || c == '\\' || c == ':') c = '_';
    if (UnsafeNameReason(product).empty()) return product;
    return "Product";
}

std::string DefaultInstallDirectory(const std::string& product) {
    const char* base = std::getenv(WindowsPaths ? "ProgramFiles" : "HOME");
    std::string dir = base && *base ? base : (WindowsPaths ? "C:\\Program Files" : "");
    if (!IsAbsolutePath(dir))
        Fail(weBadSettings, std::string("no \"Install Directory\" in install.ini and no usable ") +
                                (WindowsPaths ? "%ProgramFiles%" : "$HOME") + " for the default");
    if (!IsSeparator(dir.back())) dir += platform::PathDelim;
    return dir + DirectoryNameOf(product);
}

struct HandOff {
    int32_t Start = 0;
    int32_t Size = 0;
    std::string Source, ReadMe, Temp;
};

struct Settings {
    std::string ProductName, InstallDirectory, ReportFile;
    int32_t Key = 0;
    int32_t ShowReadMe = 1;
    int32_t RequestRestart = 0;
    int32_t NameCodePage = codepage::Windows1252;
};

// One installation run; members hold what the report and the failure line need.
class TWizardRun {
public:
    explicit TWizardRun(std::ostream& out) : out_(out) {}

    void Run(const std::string& parameterString);

    TInstallReport Report;
    std::string ReportFile;
    // As far as install.ini was read: a failure before it keeps the defaults.
    std::string ProductName = DefaultProductName;
    bool MessageBoxes = true;
    TMessages Messages;
    int FilesInstalled = 0;
    int32_t RestartWritten = 0;
    std::string CurrentEntry;  // stored name being expanded, for failure lines

private:
    Settings ReadSettings(const std::string& settingsPath);
    HandOff ReadHandOff(const std::string& handOffPath);
    void ReportTemporaryDirectory(const std::string& tempDir, const TStringList& languages);
    void ChooseLanguage(const std::string& tempDir, const TStringList& languages);
    void ShowReadMe(const std::string& path);
    void Install(const HandOff& handOff, const Settings& settings);
    void ExpandPayload(TStream& payload, const std::string& destination, int32_t key, int32_t codePage);

    std::ostream& out_;
};

Settings TWizardRun::ReadSettings(const std::string& settingsPath) {
    if (!platform::FileExists(settingsPath)) Fail(weBadSettings, "settings file not found: " + settingsPath);
    const TMyIniFile file(settingsPath);
    Settings s;
    s.ReportFile = file.ReadString(GeneralSettings, "Report File", "");
    ReportFile = s.ReportFile;
    MessageBoxes = file.ReadInteger(GeneralSettings, "Message Boxes", 1) != 0;
    s.ProductName = file.ReadString(GeneralSettings, "Product Name", DefaultProductName);
    ProductName = s.ProductName;
    s.InstallDirectory = file.ReadString(GeneralSettings, "Install Directory", "");
    s.Key = file.ReadInteger(GeneralSettings, "Key", 0);
    s.ShowReadMe = file.ReadInteger(GeneralSettings, "Show ReadMe", 1);
    s.RequestRestart = file.ReadInteger(GeneralSettings, "Request Restart", 0);
    s.NameCodePage = file.ReadInteger(GeneralSettings, "Name Code Page", codepage::Windows1252);
    if (!codepage::Known(s.NameCodePage))
        Fail(weBadSettings, std::string("\"Name Code Page\" must be ") + codepage::KnownCodePages + ", not " +
                                std::to_string(s.NameCodePage));
    return s;
}

HandOff TWizardRun::ReadHandOff(const std::string& handOffPath) {
    if (!platform::FileExists(handOffPath)) Fail(weBadSettings, "hand-off file not found: " + handOffPath);
    const TMyIniFile file(handOffPath);
    Report.Section("Params");
    const auto text = [&](const char* key) {
        const std::string value = file.ReadString("Params", key, Absent);
        if (value == Absent) Fail(weBadSettings, std::string("hand-off file has no \"") + key + "\" in [Params]");
        Report.Line(key, value);
        return value;
    };
    const auto number = [&](const char* key) {
        const std::string value = text(key);
        int32_t n = 0;
        if (!TryStrToInt(value, n) || n < 0)
            Fail(weBadSettings, std::string("hand-off file: bad \"") + key + "\" value " + Quoted(value));
        return n;
    };
    HandOff h;
    h.Start = number("Start");
    h.Size = number("Size");
    h.Source = text("Source");
    h.ReadMe = text("ReadMe");
    h.Temp = text("Temp");
    if (h.Source.empty()) Fail(weBadSettings, "hand-off file: empty \"Source\"");
    return h;
}

void TWizardRun::ReportTemporaryDirectory(const std::string& tempDir, const TStringList& languages) {
    Report.Section("Temporary Directory");
    Report.Line("Path", tempDir);
    std::vector<std::string> names = {"install.ini", "inst32.exe", "readme.txt"};
    for (int i = 0; i < languages.Count(); ++i) names.push_back(languages.Strings(i) + ".lng");
    for (const std::string& name : names)
        Report.Line(name, platform::FileExists(tempDir + name) ? "present" : "absent");
}

void TWizardRun::ChooseLanguage(const std::string& tempDir, const TStringList& languages) {
    Report.Section("Languages");
    Report.Line("Count", std::to_string(languages.Count()));
    for (int i = 0; i < languages.Count(); ++i) Report.Line("Key" + std::to_string(i + 1), languages.Strings(i));
    if (languages.Count() == 0) {
        out_ << "No language in install.ini; using the built-in English texts.\n";
        Report.Line("Chosen", "");
        Report.Line("Messages", "built-in");
        return;
    }
    const std::string chosen = languages.Strings(0);
    const std::string path = tempDir + chosen + ".lng";
    Report.Line("Chosen", chosen);
    if (Messages.LoadLanguageFile(path)) {
        Report.Line("Messages", path);
    } else {
        out_ << "Language file " << path << " not found; using the built-in English texts.\n";
        Report.Line("Messages", "built-in");
    }
}

void TWizardRun::ShowReadMe(const std::string& path) {
    TFileStream file(path, fmOpenRead | fmShareDenyNone);
    out_ << Messages.Text("ReadMe") << "\n";
    // Line ends of any style become "\n": the console stream adds the CR
    // back on Windows, and a CR LF passed through would come out as CR CR LF.
    char buffer[8192];
    std::string text;
    bool afterCR = false, endsWithLineBreak = true;
    for (int32_t n; (n = file.Read(buffer, sizeof buffer)) > 0;) {
        text.clear();
        for (int32_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (!(c == '\n' && afterCR)) text += c == '\r' ? '\n' : c;
            afterCR = c == '\r';
        }
        out_ << text;
        if (!text.empty()) endsWithLineBreak = text.back() == '\n';
    }
    if (!endsWithLineBreak) out_ << "\n";
}

void TWizardRun::ExpandPayload(TStream& payload, const std::string& destination, int32_t key, int32_t codePage) {
    TQuern quern;
    quern.SetTargetPath(destination);
    quern.MakeDirectories = true;
    quern.ExceptionOnFileError = true;
    quern.CheckSpaceBeforeExpand = true;
    quern.Key = key;

    // Every name is checked before anything is written, so a refused entry
    // leaves the destination untouched.
    TStringList listing;
    struct ListingGuard {
        TStringList& list;
        ~ListingGuard() { TQuern::FreeListing(&list); }
    } guard{listing};
    quern.ListArchiveStream(payload, listing);
    TStringList wanted;
    for (int i = 0; i < listing.Count(); ++i) {
        const std::string stored = platform::ToStoredSeparators(listing.Strings(i));
        const std::string reason = UnsafeNameReason(listing.Strings(i));
        if (!reason.empty()) Fail(weUnsafeName, "refused entry " + Quoted(PrintableName(stored)) + ": " + reason);
        const auto* info = static_cast<const TArchiveFileInfo*>(listing.Objects(i));
        if (!quern.CanExpandType(info->CompressionType))
            Fail(weBadPayload, "entry " + Quoted(stored) + ": unsupported compression type " +
                                   std::to_string(info->CompressionType));
        wanted.Add(listing.Strings(i));
    }

    TQuern::ForceDirectoryPath(destination);
    // The listing already vetted the names; this guards the paths actually
    // written, whatever the component made of them.
    quern.OnCheckFile = [&](std::string& target, TCProcessMode) {
        const std::string below = NameBelow(quern.TargetPath(), target);
        CurrentEntry = platform::ToStoredSeparators(below.empty() ? target : below);
        if (below.empty()) Fail(weUnsafeName, "refused entry " + Quoted(CurrentEntry) + ": outside the destination");
        // Stored names are in a Windows code page; POSIX file names are UTF-8.
        if constexpr (!WindowsPaths) target = quern.TargetPath() + codepage::ToUtf8(below, codePage);
    };
    payload.SetPosition(0);
    quern.ExpandArchiveStream(payload, &wanted);
    CurrentEntry.clear();

    // The walk passes over entries it cannot place (beyond the archive's
    // recorded total size, for one); an installer must not end silently short.
    if (wanted.Count() != listing.Count()) {
        const std::string missing = platform::ToStoredSeparators(listing.Strings(wanted.Count()));
        Fail(weBadPayload, "entry " + Quoted(missing) + " was not installed: the archive ends before it");
    }
    Report.Section("Installed Files");
    for (int i = 0; i < wanted.Count(); ++i) {
        const std::string& target = wanted.Strings(i);
        const int64_t size = TFileStream(target, fmOpenRead | fmShareDenyNone).Size();
        // Archives keep no mode bits: programs are told by their first bytes.
        if (!platform::MarkExecutableIfProgram(target))
            Fail(weWriteFailed, "cannot make " + target + " executable: " + platform::ErrorText(platform::LastErrorCode()));
        const std::string shown = target.substr(quern.TargetPath().size());  // native separators
        Report.Line(platform::ToStoredSeparators(shown), std::to_string(size));
        out_ << Messages.Text("File", shown, std::to_string(size)) << "\n";
        ++FilesInstalled;
    }
}

void TWizardRun::Install(const HandOff& handOff, const Settings& settings) {
    std::unique_ptr<TFileStream> source;
    try {
        source = std::make_unique<TFileStream>(handOff.Source, fmOpenRead | fmShareDenyNone);
    } catch (const EFOpenError&) {
        Fail(weBadLocation, "cannot open the setup file " + handOff.Source);
    }
    const int64_t sourceSize = source->Size();
    if (int64_t{handOff.Start} + handOff.Size > sourceSize)
        Fail(weBadLocation, "payload (Start " + std::to_string(handOff.Start) + ", Size " +
                                std::to_string(handOff.Size) + ") lies outside " + handOff.Source + " (" +
                                std::to_string(sourceSize) + " bytes)");
    // Too short for an archive header: the component would quietly list and
    // expand nothing.
    if (handOff.Size < ArchiveHeaderSize)
        Fail(weBadPayload, "the payload (" + std::to_string(handOff.Size) + " bytes) holds no archive");
    TSpanStream payload(*source, handOff.Start, handOff.Size);
    {
        TArchiveHeader header;
        std::string compressID;
        ReadArchiveHeader(payload, header, compressID, nullptr);
        payload.SetPosition(0);
    }
    ExpandPayload(payload, settings.InstallDirectory, settings.Key, settings.NameCodePage);
}

void TWizardRun::Run(const std::string& parameterString) {
    const std::string handOffPath = HandOffPathFrom(parameterString);
    if (handOffPath.empty()) Fail(weBadSettings, "no hand-off file given (usage: inst32 <hand-off file>)");
    const std::string tempDir = DirectoryPart(handOffPath);
    const std::string settingsPath = tempDir + "install.ini";

    // install.ini and the language first: they name the report file and the
    // texts, which then also serve a hand-off file that is unusable.
    Settings settings = ReadSettings(settingsPath);
    TStringList languages;
    TMyIniFile(settingsPath).ReadSection("Languages", languages);
    ReportTemporaryDirectory(tempDir, languages);
    ChooseLanguage(tempDir, languages);
    const HandOff handOff = ReadHandOff(handOffPath);

    if (settings.InstallDirectory.empty()) settings.InstallDirectory = DefaultInstallDirectory(settings.ProductName);
    if constexpr (WindowsPaths)
        for (char& c : settings.InstallDirectory)
            if (c == '/') c = '\\';
    Report.Section("Settings");
    Report.Line("Product Name", settings.ProductName);
    Report.Line("Install Directory", settings.InstallDirectory);
    Report.Line("Key", std::to_string(settings.Key));
    Report.Line("Show ReadMe", std::to_string(settings.ShowReadMe));
    Report.Line("Request Restart", std::to_string(settings.RequestRestart));
    if (!IsAbsolutePath(settings.InstallDirectory))
        Fail(weBadSettings, "\"Install Directory\" must be an absolute path: " + settings.InstallDirectory);

    if (settings.ShowReadMe != 0 && !handOff.ReadMe.empty() && platform::FileExists(handOff.ReadMe))
        ShowReadMe(handOff.ReadMe);
    out_ << Messages.Text("Installing", settings.ProductName, settings.InstallDirectory) << "\n";
    Install(handOff, settings);

    if (settings.RequestRestart != 0) {
        TIniFile(settingsPath).WriteInteger(GeneralSettings, "Restart Windows", settings.RequestRestart);
        RestartWritten = settings.RequestRestart;
    }
    out_ << Messages.Text("Done", settings.ProductName, std::to_string(FilesInstalled)) << "\n";
}

// Exit code and message line for a failure that escaped the run.
struct Outcome {
    int ExitCode;
    std::string Message;
};

Outcome Classify(const std::string& entry) {
    const std::string where = entry.empty() ? "payload: " : "entry " + Quoted(entry) + ": ";
    try {
        throw;
    } catch (const EWizardFailure& e) {
        return {e.ExitCode, e.Message};
    } catch (const EInsufficientDiskSpace& e) {
        return {weWriteFailed, e.Message};
    } catch (const EIniFileException& e) {
        return {weWriteFailed, e.Message};
    } catch (const EFCreateError& e) {
        return {weWriteFailed, e.MessageWithReason()};
    } catch (const EWriteError& e) {
        return {weWriteFailed, where + e.Message};
    } catch (const EInOutError& e) {
        return {weWriteFailed, e.Message};
    } catch (const EReadError& e) {
        return {weBadLocation, where + e.Message};
    } catch (const EFOpenError& e) {
        return {weBadSettings, e.Message};
    } catch (const ELZHBadDecodeTable& e) {
        return {weBadPayload, where + e.Message};
    } catch (const EUnrecognizedCompressionMethod& e) {
        return {weBadPayload, where + e.Message};
    } catch (const EInvalidHeaderArchiveType& e) {
        return {weBadPayload, where + e.Message};
    } catch (const EInvalidHeader& e) {
        return {weBadPayload, where + e.Message};
    } catch (const EBadChecksum& e) {
        return {weBadPayload, where + e.Message};
    } catch (const EInvalidKey& e) {
        return {weBadPayload, where + e.Message};
    } catch (const Exception& e) {
        return {weInternal, where + e.Message};
    } catch (const std::exception& e) {
        return {weInternal, e.what()};
    }
}

}  // namespace

void ShowFinalMessageWhereItWouldBeLost(const std::string& text, const std::string& caption, bool failure) {
    if (platform::ConsoleClosesWithProgram()) platform::ShowMessageBox(text, caption, failure);
}

int RunWizard(const std::string& parameterString, std::ostream& out, std::ostream& err,
              const TFinalMessage& finalMessage) {
    TWizardRun run(out);
    Outcome outcome{weSuccess, ""};
    try {
        run.Run(parameterString);
    } catch (...) {
        outcome = Classify(run.CurrentEntry);
    }
    if (!run.ReportFile.empty()) {
        run.Report.Section("Result");
        run.Report.Line("Files", std::to_string(run.FilesInstalled));
        run.Report.Line("Restart Windows", std::to_string(run.RestartWritten));
        run.Report.Line("Exit Code", std::to_string(outcome.ExitCode));
        run.Report.Line("Message", outcome.Message);
        try {
            run.Report.WriteTo(run.ReportFile);
        } catch (const Exception& e) {
            if (outcome.ExitCode == weSuccess) outcome = {weWriteFailed, "cannot write the report: " + e.Message};
        }
    }
    out.flush();
    const bool failed = outcome.ExitCode != weSuccess;
    const std::string last = failed ? OneLine(run.Messages.Text("Failed", outcome.Message))
                                    : run.Messages.Text("Done", run.ProductName, std::to_string(run.FilesInstalled));
    if (failed) err << last << "\n";
    err.flush();
    if (run.MessageBoxes && finalMessage) finalMessage(last, run.ProductName, failed);
    return outcome.ExitCode;
}

}  // namespace quern
