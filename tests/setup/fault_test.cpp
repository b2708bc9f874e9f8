// The setup against damage, failing wizards, signals and bad temporary
// directories: one row per fault, each in a fresh directory, with a real
// setup file (the built stub with appended data), the stand-in wizard
// (tests/child/fake_wizard.cpp) as a real process and real files. On POSIX
// the setup runs as its own process; on Windows (under Wine) it runs
// in-process over a recording window, so the restart's real effect stays out
// of the test (the shell's box for a wizard it cannot start is answered and
// recorded). Every row states the exit status, whether the
// wizard ran, that nothing is left in the temporary directory, that nothing
// outside it changed, and whether a restart was requested.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include <quern/ArchiveWriter.h>
#include <quern/Platform.h>
#include "setup/Integrity.h"
#include "setup/Payload.h"
#include "setup/SetupUnit.h"
#include "tests/platform/DialogCloser.h"
#include "tests/support/LhaMember.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char* const kExe = ".exe";
#else
const char* const kExe = "";
#endif
const std::string D(1, platform::PathDelim);

std::string FakeWizard() { return built::FakeWizard; }
std::string Stub() { return built::Setup; }

constexpr uint32_t kDate = 0x2561'6BC9;

// Where the parts of a setup file lie.
struct Layout {
    size_t Trailer = 0, Archive = 0, ArchiveSize = 0, Payload = 0, PayloadSize = 0, Record = 0;
};

// The stub, zero padding up to the scan start, trailer, archive, payload and
// (when asked) the integrity record, as mksetup lays them out.
Bytes SetupFile(const Bytes& archive, const Bytes& payload, bool withRecord, Layout& at) {
    Bytes image = ReadFileBytes(Stub());
    if (image.size() < static_cast<size_t>(PayloadScanStart)) image.resize(PayloadScanStart, 0);
    at.Trailer = image.size();
    const auto trailer = PayloadTrailer(static_cast<int32_t>(archive.size()), static_cast<int32_t>(payload.size()));
    image.insert(image.end(), trailer.begin(), trailer.end());
    at.Archive = image.size();
    at.ArchiveSize = archive.size();
    image.insert(image.end(), archive.begin(), archive.end());
    at.Payload = image.size();
    at.PayloadSize = payload.size();
    image.insert(image.end(), payload.begin(), payload.end());
    at.Record = image.size();
    if (withRecord) {
        IntegrityRecord record{static_cast<int32_t>(archive.size()), static_cast<int32_t>(payload.size()),
                               static_cast<uint32_t>(at.Record), Crc32(image.data() + at.Trailer, at.Record - at.Trailer)};
        const auto bytes = IntegrityRecordBytes(record);
        image.insert(image.end(), bytes.begin(), bytes.end());
    }
    return image;
}

void PutInt32(Bytes& image, size_t at, int32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
}

enum class WizardKind { Coded, Stored, Missing };
enum class TempKind { Normal, Full, Unwritable, Missing, Long };
enum class SignalAt { None, Copy, Wizard };

struct Row {
    const char* what;
    WizardKind wizard = WizardKind::Stored;  // coding 2 MB under the sanitizers is slow
    std::string fake = {};  // extra [Fake Wizard] lines
    std::string languages = "English=\r\n";
    bool record = true;
    std::function<void(Bytes&, const Layout&)> damage = {};
    TempKind temp = TempKind::Normal;
    SignalAt signalAt = SignalAt::None;
    int signal = 0;
    bool bigArchive = false;
    // Expected:
    int status = 0;
    bool wizardRan = false;
    bool restart = false;
    bool windowsToo = false;
};

// Every file below `root` except the directories named in `skip`, with its
// size and last write time.
using Snapshot = std::map<std::string, std::pair<uintmax_t, fs::file_time_type>>;
Snapshot Take(const std::string& root, const std::vector<std::string>& skip) {
    Snapshot snapshot;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = it->path().string();
        bool skipped = false;
        for (const std::string& s : skip) skipped = skipped || path.rfind(s, 0) == 0;
        if (skipped) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        snapshot[path] = {it->is_regular_file() ? it->file_size() : 0, it->last_write_time()};
    }
    return snapshot;
}

// Every file below a directory, recursively.
std::vector<std::string> AllBelow(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ignored;
    if (!fs::is_directory(dir, ignored)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(dir, ignored)) found.push_back(entry.path().string());
    return found;
}

struct Result {
    int status = -1;
    bool wizardRan = false;
    bool restart = false;
    std::string messages;  // standard error, or the boxes' texts
    bool wizardGone = true;
    bool skipped = false;
    std::string skipReason;
};

// One row's directory: root/temp is the temporary directory, root/out holds
// what the test itself records, everything else must stay as it was.
class RowRun {
public:
    explicit RowRun(const Row& row) : row_(row) {
        fs::create_directory(root_ / "out");
        temp_ = root_ / "temp";
        WriteFileText(root_ / "victim.lng", "not yours\n");
        WriteFileText(root_ / "victim", "not yours either\n");
    }
    ~RowRun() {
        if (mounted_) RunCommand("umount " + ShellQuote(temp_) + " 2>/dev/null");
    }

    Result Run() {
        Result result;
        if (!PrepareTemp(result)) return result;
        Layout at;
        Bytes image = SetupFile(Archive(), PayloadBytes(), row_.record, at);
        if (row_.damage) row_.damage(image, at);
        archiveLength_ = static_cast<int64_t>(at.ArchiveSize);
        WriteFileBytes(Setup(), image);
        fs::permissions(Setup(), fs::perms::owner_all, fs::perm_options::add);

        const Snapshot before = Take(root_.Path(), {temp_, root_ / "out"});
#ifdef _WIN32
        RunInProcess(result);
#else
        RunAsProcess(result);
#endif
        result.wizardRan = fs::exists(Marker());
        EXPECT_TRUE(Take(root_.Path(), {temp_, root_ / "out"}) == before) << "files outside the temporary directory changed";
        return result;
    }

    std::vector<std::string> LeftInTemp() const { return AllBelow(temp_); }

private:
    std::string Setup() const { return root_ / ("my setup" + std::string(kExe)); }
    std::string Marker() const { return root_ / "out" + D + "wizard ran"; }

    bool PrepareTemp(Result& result) {
        switch (row_.temp) {
            case TempKind::Normal: fs::create_directory(temp_); return true;
            case TempKind::Missing: return true;
            case TempKind::Long: {
                // 237 characters, so the wizard's path in the setup's own
                // directory inside would pass 255.
                temp_ = root_.Path();
                while (237 - temp_.size() > 61) temp_ += std::string(60, 'l') + D;
                temp_ += std::string(237 - temp_.size(), 'l');
                fs::create_directories(temp_);
                return true;
            }
            case TempKind::Full:
            case TempKind::Unwritable: {
                fs::create_directory(temp_);
                const std::string options = row_.temp == TempKind::Full ? "size=256k" : "ro,size=64k";
                if (RunCommand("mount -t tmpfs -o " + options + " quern-test " + ShellQuote(temp_) + " 2>/dev/null") != 0) {
                    result.skipped = true;
                    result.skipReason = "cannot mount a tmpfs here (not root?)";
                    return false;
                }
                mounted_ = true;
                if (row_.temp == TempKind::Full) {
                    // Fill it but for a little, so the copy is what fails.
                    RunCommand("dd if=/dev/zero of=" + ShellQuote(temp_ + D + "filler") + " bs=4k count=56 2>/dev/null");
                }
                return true;
            }
        }
        return true;
    }

    Bytes Archive() const {
        TArchiveWriter writer;
        const std::string settings = "[LANGUAGES]\r\n" + row_.languages +
                                     "\r\n[GENERAL SETTINGS]\r\nRestart Windows=1\r\n\r\n[FAKE WIZARD]\r\nMarker=" +
                                     Marker() + "\r\n" + row_.fake;
        writer.AddMemory("<temp>\\install.ini", Text(settings), kDate, 0x20, ctLh5);
        writer.AddMemory("<temp>\\english.lng", Text("[Messages]\r\n"), kDate, 0x20, ctLh5);
        // A crafted entry for the key "../../victim": written only if the key were used.
        writer.AddMemory("<temp>\\../../victim.lng", Text("overwritten"), kDate, 0x20, ctNone);
        if (row_.bigArchive) writer.AddMemory("<temp>\\big.bin", Bytes(64 << 20, 0), kDate, 0x20, ctNone);
        // The wizard last, so the archive's last bytes are its data.
        if (row_.wizard != WizardKind::Missing)
            writer.AddMemory("<temp>\\inst32.exe", ReadFileBytes(FakeWizard()), kDate, 0x20,
                             row_.wizard == WizardKind::Coded ? ctLh5 : ctNone);
        TMemoryStream out;
        writer.WriteToStream(out);
        return out.Bytes();
    }

    static Bytes PayloadBytes() {
        TArchiveWriter writer;
        writer.AddMemory("a.txt", RandomBytes(50'000, 17), kDate, 0x20, ctLh5);
        TMemoryStream out;
        writer.WriteToStream(out);
        return out.Bytes();
    }

#ifdef _WIN32
    void RunInProcess(Result& result) {
        ScopedEnv env(TempPathVariable, temp_);
        SetupServices services;
        services.ModuleFileName = [this] { return Setup(); };
        services.RequestRestart = [&result](uint32_t) { result.restart = true; };
        RecordingWindow::Record window;
        TApplication application(std::make_unique<RecordingWindow>(window));
        application.Title = ApplicationTitle;
        TForm1 form(application, std::move(services));
        // The shell answers a wizard it cannot start with a box of its own.
        DialogCloser shellBoxes;
        result.status = application.Run(form);
        for (const auto& box : window.Boxes) result.messages += box.Caption + ": " + box.Text + "\n";
        for (const auto& box : shellBoxes.Seen()) result.messages += box.Caption + ": " + box.Text + "\n";
    }
#else
    // The setup as a child of a shell run from a second thread; the shell
    // writes its process id, which exec hands on to the setup.
    void RunAsProcess(Result& result) {
        // A test run started in the background may ignore SIGINT, and the
        // setup keeps a signal its starter ignores: give it the default.
        struct DefaultInterrupt {
            void (*previous)(int) = std::signal(SIGINT, SIG_DFL);
            ~DefaultInterrupt() { std::signal(SIGINT, previous); }
        } defaultInterrupt;
        const std::string out = root_ / "out" + D;
        int status = -1;
        std::thread runner([&] {
            status = RunCommand("echo $$ >" + ShellQuote(out + "pid") + "; TMPDIR=" + ShellQuote(temp_) +
                                "; export TMPDIR; exec " + ShellQuote(Setup()) + " </dev/null >" +
                                ShellQuote(out + "stdout") + " 2>" + ShellQuote(out + "stderr"));
        });
        const std::string pid = WaitForText(out + "pid");
        // Only ever a real child's id: "kill -2 -1" would hit every process.
        const bool childKnown = IsProcessId(pid);
        EXPECT_TRUE(childKnown) << "no process id for the setup: " << pid;
        if (childKnown && row_.signalAt == SignalAt::Copy) InterruptTheCopy(pid);
        if (childKnown && row_.signalAt == SignalAt::Wizard) {
            WaitForText(Marker());
            RunCommand("kill -" + std::to_string(row_.signal) + " " + pid);
        }
        runner.join();
        result.status = status;
        result.messages = ReadFileText(out + "stderr");
        result.restart = result.messages.find("asks you to re") != std::string::npos;
        if (fs::exists(Marker())) {
            const std::string wizardPid = ReadFileText(Marker()).substr(0, ReadFileText(Marker()).find('\n'));
            result.wizardGone = !IsProcessId(wizardPid) || !fs::exists("/proc/" + wizardPid);
            if (!result.wizardGone) RunCommand("kill -KILL " + wizardPid);
        }
    }

    // Stops the setup once its archive copy has begun, sends the signal and
    // lets it go on, so the signal meets the copy loop.
    void InterruptTheCopy(const std::string& pid) {
        for (int polls = 0; polls < 60'000; ++polls) {
            for (const std::string& file : AllBelow(temp_)) {
                if (!fs::is_regular_file(file) || fs::path(file).extension() != ".tmp") continue;
                RunCommand("kill -STOP " + pid);
                copiedWhenStopped_ = static_cast<int64_t>(fs::file_size(file));
                RunCommand("kill -" + std::to_string(row_.signal) + " " + pid + "; kill -CONT " + pid);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    static bool IsProcessId(const std::string& text) {
        return !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos &&
               std::stol(text) > 1;
    }

    // The file's first line once it has been written whole (a minute at most).
    static std::string WaitForText(const std::string& path) {
        std::string text;
        for (int polls = 0; polls < 60'000; ++polls) {
            if (fs::exists(path) && (text = ReadFileText(path)).ends_with('\n')) return text.substr(0, text.find('\n'));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return "";
    }
#endif

public:
    int64_t copiedWhenStopped_ = -1, archiveLength_ = 0;

private:
    const Row& row_;
    TempDir root_;
    std::string temp_;
    bool mounted_ = false;
};

// The damages, by where they hit.
void FlipLastArchiveBytes(Bytes& b, const Layout& at) { b[at.Archive + at.ArchiveSize - 10] ^= 0x55; }
void FlipPayload(Bytes& b, const Layout& at) { b[at.Payload + at.PayloadSize / 2] ^= 0x01; }
std::function<void(Bytes&, const Layout&)> ArchiveLength(int64_t value) {
    return [value](Bytes& b, const Layout& at) {
        PutInt32(b, at.Trailer + 5, static_cast<int32_t>(value == INT64_MAX ? b.size() : value));
    };
}
std::function<void(Bytes&, const Layout&)> PayloadSize(int64_t value) {
    return [value](Bytes& b, const Layout& at) {
        PutInt32(b, at.Trailer + 9, static_cast<int32_t>(value == INT64_MAX ? b.size() : value));
    };
}
constexpr int64_t PastTheEnd = INT64_MAX;
constexpr int SIGINT_ = 2, SIGTERM_ = 15;

}  // namespace

TEST(SetupFaults, EachFaultEndsWithItsStatusLeavesNothingAndRestartsOnlyAfterTheWizard) {
    const Row rows[] = {
        // What works, as the baseline of the columns.
        {.what = "a sound setup", .wizard = WizardKind::Coded, .status = 0, .wizardRan = true, .restart = true, .windowsToo = true},
        {.what = "a sound setup without a record", .record = false, .status = 0, .wizardRan = true, .restart = true,
         .windowsToo = true},
        // Damage.
        {.what = "a flipped byte in the wizard's coded data", .wizard = WizardKind::Coded, .damage = FlipLastArchiveBytes,
         .status = seCorruptData, .windowsToo = true},
        {.what = "a flipped byte in the wizard's coded data, no record", .wizard = WizardKind::Coded, .record = false,
         .damage = FlipLastArchiveBytes, .status = seCorruptData, .windowsToo = true},
        {.what = "a flipped byte in a stored wizard", .wizard = WizardKind::Stored, .damage = FlipLastArchiveBytes,
         .status = seCorruptData, .windowsToo = true},
        {.what = "a flipped byte in the payload", .damage = FlipPayload, .status = seCorruptData, .windowsToo = true},
        {.what = "a flipped byte in the integrity record",
         .damage = [](Bytes& b, const Layout& at) { b[at.Record + 13] ^= 0x08; }, .status = seCorruptData,
         .windowsToo = true},
        {.what = "a flipped byte in the record's magic",
         .damage = [](Bytes& b, const Layout& at) { b[at.Record + 1] ^= 0x20; }, .status = seCorruptData},
        {.what = "the payload cut short", .damage = [](Bytes& b, const Layout& at) { b.resize(at.Payload + 100); },
         .status = seCorruptData},
        {.what = "ArchiveLength 0", .damage = ArchiveLength(0), .status = seCorruptData},
        {.what = "ArchiveLength 1", .damage = ArchiveLength(1), .status = seCorruptData},
        {.what = "ArchiveLength -1", .damage = ArchiveLength(-1), .status = seCorruptData},
        {.what = "ArchiveLength past the end", .damage = ArchiveLength(PastTheEnd), .status = seCorruptData},
        {.what = "ArchiveLength 0, no record", .record = false, .damage = ArchiveLength(0), .status = seCorruptData},
        {.what = "PayloadSize -1", .damage = PayloadSize(-1), .status = seCorruptData},
        {.what = "PayloadSize 0", .damage = PayloadSize(0), .status = seCorruptData},
        {.what = "PayloadSize past the end", .damage = PayloadSize(PastTheEnd), .status = seCorruptData},
        // The wizard.
        {.what = "a wizard that exits 3", .fake = "Exit Code=3\r\n", .status = 3, .wizardRan = true, .restart = true,
         .windowsToo = true},
        {.what = "no wizard in the archive", .wizard = WizardKind::Missing, .status = seWizardNotStarted,
         .windowsToo = true},
#ifndef _WIN32
        {.what = "a wizard that crashes", .fake = "Crash=1\r\n", .status = 128 + 6, .wizardRan = true},
        // Signals.
        {.what = "SIGINT during the copy", .signalAt = SignalAt::Copy, .signal = SIGINT_, .bigArchive = true,
         .status = 128 + SIGINT_},
        {.what = "SIGTERM during the copy", .signalAt = SignalAt::Copy, .signal = SIGTERM_, .bigArchive = true,
         .status = 128 + SIGTERM_},
        {.what = "SIGINT during the wizard's run", .fake = "Wait=1\r\n", .signalAt = SignalAt::Wizard,
         .signal = SIGINT_, .status = 128 + SIGINT_, .wizardRan = true},
        {.what = "SIGTERM during the wizard's run", .fake = "Wait=1\r\n", .signalAt = SignalAt::Wizard,
         .signal = SIGTERM_, .status = 128 + SIGTERM_, .wizardRan = true},
        // The temporary directory.
        {.what = "a full temporary directory", .temp = TempKind::Full,
         .status = seTempDirectory},
        {.what = "an unwritable temporary directory", .temp = TempKind::Unwritable, .status = seTempDirectory},
#endif
        {.what = "a missing temporary directory", .temp = TempKind::Missing, .status = seTempDirectory},
        {.what = "a temporary path too long for the launch", .temp = TempKind::Long, .status = seTempDirectory,
         .windowsToo = true},
        // install.ini's language keys.
        {.what = "crafted language keys",
         .languages = "../../victim=\r\n..\\..\\victim=\r\nsub/victim=\r\nc:victim=\r\n=\r\nEnglish=\r\n",
         .status = 0, .wizardRan = true, .restart = true},
    };
    for (const Row& row : rows) {
#ifdef _WIN32
        if (!row.windowsToo) continue;
#endif
        SCOPED_TRACE(row.what);
        Result result;
        std::vector<std::string> left;
        for (int attempt = 0; attempt < 3; ++attempt) {
            RowRun run(row);
            result = run.Run();
            left = run.LeftInTemp();
            // A copy that had already ended when the signal came proves
            // nothing about the copy loop: try again.
            if (row.signalAt != SignalAt::Copy || run.copiedWhenStopped_ < run.archiveLength_) break;
        }
        if (result.skipped) {
            std::cout << "[ SKIPPED  ] row \"" << row.what << "\": " << result.skipReason << "\n";
            continue;
        }
        EXPECT_EQ(result.status, row.status) << result.messages;
        EXPECT_EQ(result.wizardRan, row.wizardRan);
        EXPECT_TRUE(result.wizardGone) << "the wizard outlived the setup";
        EXPECT_EQ(result.restart, row.restart) << result.messages;
        // A full tmpfs keeps the test's own filler.
        if (row.temp == TempKind::Full) std::erase_if(left, [](const std::string& f) { return f.ends_with("filler"); });
        EXPECT_TRUE(left.empty()) << left.size() << " left, first " << (left.empty() ? "" : left[0]);
        if (row.status == seCorruptData) {
            EXPECT_NE(result.messages.find("Error reading data. Possible corrupt file."), std::string::npos)
                << result.messages;
        }
        // The user learns why: "Cannot run ..." on POSIX, the shell's box on Windows.
        if (row.status == seWizardNotStarted) {
            EXPECT_FALSE(result.messages.empty());
        }
    }
}
