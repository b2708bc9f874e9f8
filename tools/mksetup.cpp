// mksetup: makes a setup executable from a stub, an embedded archive and a
// payload:  stub + padding to the scan start + "Qnt_!" + ArchiveLength +
// PayloadSize + archive + payload (integers little-endian) + the integrity
// record (setup/Integrity.h).
//
// Everything is streamed to the output file: the memory used does not grow
// with the payload (a few MB of buffers and the codec's work areas).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <quern/ArchiveWriter.h>
#include "archive/EntryPipeline.h"
#include "archive/CodePage.h"
#include <quern/Myini.h>
#include <quern/Platform.h>
#include "platform/ToolSupport.h"
#include "setup/Genfile.h"
#include "setup/Integrity.h"
#include "setup/Payload.h"
#include "tools/support/ToolKit.h"

using namespace quern;

namespace {

namespace fs = std::filesystem;

const char* const kUsage =
    "usage: mksetup -o OUT [--stub STUB] [-m METHOD] (--wizard DIR | --archive FILE)\n"
    "               --payload (DIR | FILE) [--exclude PATTERN] [--code-page CP]\n"
    "               [-j N]\n"
    "       mksetup --help | --version\n"
    "\n"
    "Makes a setup executable: the stub program, padded to the scan start,\n"
    "followed by the trailer, the embedded archive, the payload and an\n"
    "integrity record (a CRC-32 of trailer, archive and payload).\n"
    "\n"
    "Options:\n"
    "  -o OUT             the setup executable to write\n"
    "  --stub STUB        the stub program (default: see Files below)\n"
    "  --wizard DIR       the wizard's files: inst32.exe, install.ini, optional\n"
    "                     readme.txt and the .lng file of each language that\n"
    "                     install.ini names; archived as \"<temp>\\NAME\". Without\n"
    "                     --stub, a DIR without inst32.exe gets the reference\n"
    "                     wizard built or installed with mksetup\n"
    "  --archive FILE     a ready embedded archive instead of --wizard\n"
    "  --payload DIR      the tree to install, archived with names relative to DIR\n"
    "  --payload FILE     a ready payload archive (or any bytes) instead\n"
    "  -m METHOD          coding of the archives made from directories:\n"
    "                     lh5 (default), lzh, rle or none; files that would not\n"
    "                     shrink are stored\n"
    "  --exclude PATTERN  leave payload files (or directories) matching PATTERN\n"
    "                     out; may be repeated\n"
    "  --code-page CP     code page of the stored names: 1252 (default), 1250,\n"
    "                     1251, 437, 850 or 65001 (UTF-8); install.ini's\n"
    "                     \"Name Code Page\" must say the same\n"
    "  -j, --jobs N       code N files at once (default: one per processor, at most\n"
    "                     8); the setup is the same for every N, -j 1 codes file\n"
    "                     by file\n"
    "  -h, --help         print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Long options also take their value as --option=VALUE. With\n"
    "SOURCE_DATE_EPOCH set, no stored date is later than it, so the same inputs\n"
    "give the same setup byte for byte. Progress is drawn on standard error when\n"
    "it is a terminal; a one-line summary follows on standard output.\n"
    "\n"
    "Files (relative to the directory that holds mksetup):\n"
#ifdef _WIN32
    "  .\\setup.exe                         the stub without --stub, or else\n"
    "  ..\\setup\\setup.exe                  the stub in a build tree, or else\n"
    "  ..\\share\\quern\\stubs\\setup.exe      the stub in an installed tree\n"
    "  .\\inst32.exe, ..\\wizard\\inst32.exe  the reference wizard\n"
#else
    "  ./setup                        the stub without --stub, or else\n"
    "  ../setup/setup                 the stub in a build tree, or else\n"
    "  ../share/quern/stubs/setup     the stub in an installed tree\n"
    "  ./inst32, ../wizard/inst32     the reference wizard\n"
#endif
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  failure; no setup is written and an existing OUT is left as it was\n"
    "  2  a usage error\n"
    "\n"
    "Examples:\n"
    "  mksetup -o setup --wizard wizard --payload payload\n"
    "  mksetup -o setup.exe --stub build/mingw-i686/setup/setup.exe \\\n"
    "          --wizard wizard-win --payload payload --exclude '*.bak'\n";

struct Failure {
    std::string message;
};
struct UsageFailure {
    std::string message;
};

#ifdef _WIN32
const char* const StubName = "setup.exe";
const char* const WizardProgram = "inst32.exe";
#else
const char* const StubName = "setup";
const char* const WizardProgram = "inst32";
#endif
constexpr bool ConvertNames = platform::PathDelim == '/';

// The first of the candidates, beside mksetup or in the build tree's
// `sibling` directory, that exists; "" when none does.
std::string BesideMksetup(const char* name, const char* sibling) {
    const std::string here = platform::ExtractFilePath(platform::ModuleFileName());
    for (const std::string& candidate :
         {here + name, here + ".." + platform::PathDelim + sibling + platform::PathDelim + name})
        if (platform::FileExists(candidate)) return fs::path(candidate).lexically_normal().string();
    return {};
}

std::string DefaultStub() {
    std::string stub = BesideMksetup(StubName, "setup");
    if (stub.empty()) {
        // An installed tree: bin/mksetup and share/quern/stubs/.
        const char d = platform::PathDelim;
        const std::string installed = platform::ExtractFilePath(platform::ModuleFileName()) + ".." + d + "share" +
                                      d + "quern" + d + "stubs" + d + StubName;
        if (platform::FileExists(installed)) stub = fs::path(installed).lexically_normal().string();
    }
    if (stub.empty()) throw Failure{"no stub found beside mksetup; name one with --stub"};
    return stub;
}

uint8_t MethodType(const std::string& name) {
    if (name == "lh5") return ctLh5;
    if (name == "lzh") return ctLzh;
    if (name == "rle") return ctRle;
    if (name == "none") return ctNone;
    throw UsageFailure{"unknown method " + name + " (lh5, lzh, rle or none)"};
}

// The file of the wizard directory named `name` ignoring ASCII case, as the
// setup asks for the wizard's files ignoring case too; "" when absent.
std::string FindIgnoringCase(const fs::path& dir, const std::string& name) {
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file() && SameAsciiText(entry.path().filename().string(), name))
            return entry.path().filename().string();
    return {};
}

// What goes into one of the two archives: a file and its stored name.
struct Member {
    std::string path, stored;
    uint64_t size;
};

// The wizard's files, checked first: what the setup and the reference wizard
// need, and what a template still lacks.
std::vector<Member> WizardMembers(const std::string& dir, bool defaultStub) {
    if (!fs::is_directory(dir)) throw Failure{"wizard directory " + dir + " does not exist"};
    const fs::path root(dir);
    std::vector<Member> members;
    const auto add = [&](const fs::path& path, const std::string& name) {
        std::error_code ec;
        members.push_back({path.string(), "<temp>\\" + name, static_cast<uint64_t>(fs::file_size(path, ec))});
    };
    const std::string ini = FindIgnoringCase(root, "install.ini");
    if (ini.empty()) throw Failure{"the wizard directory has no install.ini: " + (root / "install.ini").string()};
    add(root / ini, ini);
    const TMyIniFile settings((root / ini).string());
    const std::string installDir = settings.ReadString("General Settings", "Install Directory", "");
    if (installDir.find("@INSTALL_DIR@") != std::string::npos)
        throw Failure{(root / ini).string() + ": \"Install Directory\" is still the placeholder @INSTALL_DIR@; set it "
                      "to the directory to install into, or remove the line for the wizard's default " +
                      std::string(ConvertNames ? "$HOME" : "%ProgramFiles%") + "/<Product Name>"};

    const std::string wizard = FindIgnoringCase(root, "inst32.exe");
    if (!wizard.empty()) {
        add(root / wizard, wizard);
    } else {
        // The setup starts the wizard as inst32.exe on every platform.
        const std::string built = defaultStub ? BesideMksetup(WizardProgram, "wizard") : std::string();
        if (built.empty())
            throw Failure{"the wizard directory has no inst32.exe: " + (root / "inst32.exe").string() +
                          " (copy the wizard program there under that name, on Linux too" +
                          std::string(defaultStub ? ")" : "; with --stub no wizard is chosen for you)")};
        std::cout << "mksetup: " << dir << " has no inst32.exe; using the reference wizard " << built << "\n";
        add(built, "inst32.exe");
    }
    if (const std::string readme = FindIgnoringCase(root, "readme.txt"); !readme.empty()) add(root / readme, readme);
    TStringList languages;
    settings.ReadSection("Languages", languages);
    for (int i = 0; i < languages.Count(); ++i) {
        const std::string lng = languages.Strings(i) + ".lng";
        const std::string found = FindIgnoringCase(root, lng);
        if (found.empty())
            throw Failure{"install.ini names the language \"" + languages.Strings(i) +
                          "\" but the wizard directory has no " + lng};
        add(root / found, found);
    }
    return members;
}

// The payload tree's files, names relative to dir with "\" between components,
// in the archive's code page. Links and empty directories are reported as
// quern reports them; a file that cannot be read or named fails the setup.
std::vector<Member> PayloadMembers(const std::string& dir, const std::vector<std::string>& excludes, int codePage) {
    std::vector<Member> members;
    for (const toolkit::InputFile& file : toolkit::CollectTree(dir, "", excludes)) {
        std::string name = file.name;
        if (ConvertNames) {
            const auto converted = codepage::FromUtf8(name, codePage);
            if (!converted) {
                toolkit::Error(file.path.string() + ": the name cannot be written in code page " +
                               std::to_string(codePage) + " (--code-page 65001 keeps UTF-8 names)");
                continue;
            }
            name = *converted;
        }
        std::replace(name.begin(), name.end(), '/', '\\');
        members.push_back({file.path.string(), name, file.size});
    }
    if (toolkit::ErrorCount() > 0) throw Failure{"the payload directory " + dir + " could not be read whole; no setup written"};
    if (members.empty()) throw Failure{"the payload directory " + dir + " holds no files"};
    return members;
}

// Writes blocks through one buffer; `what` names the source in failures.
void CopyFile(TStream& out, const std::string& path, const char* what, int64_t& copied,
              const std::function<void(int64_t)>& progress) {
    std::unique_ptr<TFileStream> in;
    try {
        in = std::make_unique<TFileStream>(path, fmOpenRead | fmShareDenyWrite);
    } catch (const EFOpenError&) {
        throw Failure{std::string("cannot read ") + what + " " + path + toolkit::SystemReason()};
    }
    std::vector<uint8_t> buffer(1 << 16);
    for (int32_t n; (n = in->Read(buffer.data(), static_cast<int32_t>(buffer.size()))) > 0;) {
        out.WriteBuffer(buffer.data(), n);
        copied += n;
        if (progress) progress(copied);
    }
}

// The stub, copied and padded to the scan start; a stub whose own bytes from
// the scan start on hold the magic would make the setup find the wrong
// trailer.
void WriteStub(TStream& out, const std::string& path) {
    const auto magic = PayloadMagic();
    TFileStream in(path, fmOpenRead | fmShareDenyWrite);
    std::vector<uint8_t> buffer(1 << 16);
    std::vector<uint8_t> window;  // the last bytes before the block, for a magic across blocks
    int64_t offset = 0;
    for (int32_t n; (n = in.Read(buffer.data(), static_cast<int32_t>(buffer.size()))) > 0;) {
        std::vector<uint8_t> scan(window);
        scan.insert(scan.end(), buffer.begin(), buffer.begin() + n);
        const int64_t scanStart = offset - static_cast<int64_t>(window.size());
        for (size_t i = 0; i + magic.size() <= scan.size(); ++i)
            if (scanStart + static_cast<int64_t>(i) >= PayloadScanStart &&
                std::memcmp(scan.data() + i, magic.data(), magic.size()) == 0)
                throw Failure{"the stub itself contains the payload magic"};
        window.assign(scan.end() - std::min<ptrdiff_t>(static_cast<ptrdiff_t>(magic.size() - 1),
                                                        static_cast<ptrdiff_t>(scan.size())),
                      scan.end());
        out.WriteBuffer(buffer.data(), n);
        offset += n;
    }
    if (offset < PayloadScanStart) {
        const std::vector<uint8_t> zeros(static_cast<size_t>(PayloadScanStart - offset), 0);
        out.WriteBuffer(zeros.data(), static_cast<int32_t>(zeros.size()));
    }
}

struct Settings {
    std::string out, stub, archive, payload, wizard;
    bool defaultStub = true;
    uint8_t method = ctLh5;
    std::vector<std::string> excludes;
    int codePage = codepage::Windows1252;
    unsigned jobs = DefaultThreadCount();
};

// --help or --version ends the parse: what came before it is not checked.
enum class Request { Run, Help, Version };

Settings ParseArguments(int argc, char** argv, Request& request) {
    std::optional<std::string> out, stub, archive, payload, wizard, method;
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            inlineValue = arg.substr(arg.find('=') + 1);
            arg.erase(arg.find('='));
        }
        const auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= argc) throw UsageFailure{"option " + arg + " needs a value"};
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help" || arg == "--version") {
            request = arg == "--version" ? Request::Version : Request::Help;
            return s;
        } else if (arg == "-o") out = value();
        else if (arg == "--stub") stub = value();
        else if (arg == "--archive") archive = value();
        else if (arg == "--wizard") wizard = value();
        else if (arg == "-m") method = value();
        else if (arg == "--payload") payload = value();
        else if (arg == "--exclude") s.excludes.push_back(value());
        else if (arg == "-j" || arg == "--jobs") {
            const std::string text = value();
            const auto jobs = toolkit::ParseJobs(text);
            if (!jobs) throw UsageFailure{"not a number of jobs from 1 to 1024: " + text};
            s.jobs = *jobs;
        }
        else if (arg == "--code-page") {
            const std::string text = value();
            const auto cp = codepage::Parse(text);
            if (!cp) throw UsageFailure{"unknown code page " + text + " (" + codepage::KnownCodePages + ")"};
            s.codePage = *cp;
        } else if (arg.size() > 1 && arg[0] == '-') throw UsageFailure{"unknown option " + arg};
        else throw UsageFailure{"unknown argument " + arg};
    }
    if (!out) throw UsageFailure{"no output given (-o OUT)"};
    if (archive && wizard) throw UsageFailure{"give either --wizard DIR or --archive FILE, not both"};
    if (!archive && !wizard) throw UsageFailure{"no wizard given (--wizard DIR or --archive FILE)"};
    if (!payload) throw UsageFailure{"no payload given (--payload DIR or FILE)"};
    s.method = MethodType(method ? *method : "lh5");
    s.out = *out;
    s.defaultStub = !stub;
    s.stub = stub ? *stub : std::string();
    s.archive = archive ? *archive : std::string();
    s.wizard = wizard ? *wizard : std::string();
    s.payload = *payload;
    return s;
}

int Run(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    Request request = Request::Run;
    const Settings s = ParseArguments(argc, argv, request);
    if (request == Request::Help) {
        std::cout << kUsage;
        return 0;
    }
    if (request == Request::Version) {
        std::cout << "mksetup " << QUERN_VERSION << "\n";
        return 0;
    }
    const std::string stub = s.defaultStub ? DefaultStub() : s.stub;
    if (!platform::FileExists(stub)) throw Failure{"cannot read stub " + stub};
    const std::optional<uint32_t> latestDate = toolkit::SourceDateLimit();

    // Everything is checked and gathered before the output is touched.
    std::vector<Member> wizardFiles, payloadFiles;
    if (!s.wizard.empty()) wizardFiles = WizardMembers(s.wizard, s.defaultStub);
    else if (!platform::FileExists(s.archive)) throw Failure{"cannot read archive " + s.archive};
    const bool payloadIsTree = fs::is_directory(s.payload);
    if (payloadIsTree) payloadFiles = PayloadMembers(s.payload, s.excludes, s.codePage);
    else if (!platform::FileExists(s.payload)) throw Failure{"cannot read payload " + s.payload};

    uint64_t inputTotal = 0;
    for (const auto& m : payloadFiles) inputTotal += m.size;
    std::error_code ec;
    if (!payloadIsTree) inputTotal = static_cast<uint64_t>(fs::file_size(s.payload, ec));

    toolkit::Progress progress(inputTotal);
    // Written beside the output and put in its place whole: a failure leaves
    // no partial file and an existing setup as it was.
    std::unique_ptr<TSafeFileStream> out;
    try {
        out = std::make_unique<TSafeFileStream>(s.out);
    } catch (const EFCreateError& e) {
        throw Failure{"cannot create " + s.out + (e.Reason.empty() ? std::string() : ": " + e.Reason)};
    }

    int64_t archiveLength = 0, payloadSize = 0, trailerAt = 0;
    std::string stage = "stub";
    try {
        WriteStub(*out, stub);
        trailerAt = out->Position();
        const auto placeholder = PayloadTrailer(0, 0);
        out->WriteBuffer(placeholder.data(), static_cast<int32_t>(placeholder.size()));

        const auto writeArchive = [&](const std::vector<Member>& members, bool showProgress) {
            TArchiveWriter writer;
            writer.LatestDate = latestDate;
            writer.Threads = s.jobs;
            for (const auto& m : members) writer.AddFile(m.path, m.stored, s.method);
            uint64_t before = 0;
            int current = -1;
            if (showProgress) {
                writer.OnEntry = [&](int index) {
                    if (current >= 0) before += members[static_cast<size_t>(current)].size;
                    current = index;
                    progress.Update(before, members[static_cast<size_t>(index)].stored);
                };
                writer.OnShowProgress = [&](int32_t& percent) {
                    if (current >= 0)
                        progress.Update(before + members[static_cast<size_t>(current)].size *
                                                     static_cast<uint64_t>(std::max(percent, 0)) / 100,
                                        members[static_cast<size_t>(current)].stored);
                };
            }
            writer.WriteToStream(*out);
        };

        stage = "embedded archive";
        const int64_t archiveStart = out->Position();
        if (!s.wizard.empty()) {
            writeArchive(wizardFiles, false);
        } else {
            int64_t copied = 0;
            CopyFile(*out, s.archive, "archive", copied, nullptr);
        }
        archiveLength = out->Position() - archiveStart;

        stage = "payload";
        const int64_t payloadStart = out->Position();
        if (payloadIsTree) {
            writeArchive(payloadFiles, true);
        } else {
            int64_t copied = 0;
            CopyFile(*out, s.payload, "payload", copied,
                     [&](int64_t done) { progress.Update(static_cast<uint64_t>(done), s.payload); });
        }
        payloadSize = out->Position() - payloadStart;
        if (archiveLength > 0x7FFFFFFF || payloadSize > 0x7FFFFFFF)
            throw Failure{"archive and payload must each be smaller than 2 GB"};
        // The setup reads the payload's start and the record's offset as signed
        // 32-bit numbers: everything up to the record's end has to fit in them.
        const int64_t recordStart = out->Position();
        if (recordStart + static_cast<int64_t>(IntegrityRecordSize) > 0x7FFFFFFF)
            throw Failure{"the setup would be larger than 2 GB: the payload's start (" + std::to_string(payloadStart) +
                          ") and its end must fit in a signed 32-bit offset"};

        stage = "trailer";
        const auto trailer = PayloadTrailer(static_cast<int32_t>(archiveLength), static_cast<int32_t>(payloadSize));
        out->SetPosition(trailerAt);
        out->WriteBuffer(trailer.data(), static_cast<int32_t>(trailer.size()));

        // The integrity record's CRC runs from the trailer to the payload's
        // end; the archives were completed in place, so they are read back.
        TCrc32 crc;
        out->SetPosition(trailerAt);
        std::vector<uint8_t> buffer(1 << 16);
        for (int64_t left = recordStart - trailerAt; left > 0;) {
            const int32_t want = static_cast<int32_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
            out->ReadBuffer(buffer.data(), want);
            crc.Update(buffer.data(), static_cast<size_t>(want));
            left -= want;
        }
        IntegrityRecord record;
        record.ArchiveLength = static_cast<int32_t>(archiveLength);
        record.PayloadSize = static_cast<int32_t>(payloadSize);
        record.RecordStart = static_cast<uint32_t>(recordStart);
        record.DataCrc = crc.Value();
        const auto recordBytes = IntegrityRecordBytes(record);
        out->SetPosition(recordStart);
        out->WriteBuffer(recordBytes.data(), static_cast<int32_t>(recordBytes.size()));
        stage = "putting it in place";
        out->Commit();
    } catch (const EFCreateError& e) {
        throw Failure{s.out + ": " + stage + ": " + e.MessageWithReason()};
    } catch (const EStreamError& e) {
        throw Failure{s.out + ": " + stage + ": " + e.Message + toolkit::SystemReason()};
    } catch (const EInOutError& e) {
        throw Failure{s.out + ": " + stage + ": " + e.Message};
    } catch (const Exception& e) {
        throw Failure{s.out + ": " + stage + ": " + e.Message};
    }
    progress.Finish();

    platform::MarkExecutable(s.out);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const uint64_t total = static_cast<uint64_t>(fs::file_size(s.out, ec));
    char summary[512];
    std::snprintf(summary, sizeof summary,
                  "%s: %s; wizard %s (%zu files), payload %s (%zu files, %s before coding) in %.1f s\n",
                  s.out.c_str(), toolkit::HumanSize(total).c_str(), toolkit::HumanSize(static_cast<uint64_t>(archiveLength)).c_str(),
                  s.wizard.empty() ? size_t{0} : wizardFiles.size(), toolkit::HumanSize(static_cast<uint64_t>(payloadSize)).c_str(),
                  payloadIsTree ? payloadFiles.size() : size_t{0}, toolkit::HumanSize(inputTotal).c_str(), seconds);
    std::cout << summary;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    toolkit::SetProgramName("mksetup");
    try {
        return Run(argc, argv);
    } catch (const UsageFailure& f) {
        toolkit::Error(f.message + " (see mksetup --help)");
        return 2;
    } catch (const Failure& f) {
        toolkit::Error(f.message);
        return 1;
    } catch (const std::exception& e) {
        toolkit::Error(e.what());
        return 1;
    }
}
