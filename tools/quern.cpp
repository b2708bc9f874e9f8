// quern: list, extract, test and create "ZMAR" archives from the command line,
// with the habits of tar, 7z and lhasa.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <quern/ArchiveWriter.h>
#include "archive/CodePage.h"
#include "archive/EntryNames.h"
#include "archive/EntryPipeline.h"
#include "archive/ParallelExpand.h"
#include <quern/Quern.h>
#include <quern/Platform.h>
#include "platform/ToolSupport.h"
#include "tools/support/ToolKit.h"

using namespace quern;

namespace fs = std::filesystem;
using toolkit::Error;
using toolkit::Warn;

namespace {

const char* const Usage =
    "usage: quern l [--code-page CP] ARCHIVE\n"
    "       quern x [-vOP] [-C DIR] [-k KEY] [--keep-old-files | --skip-old-files]\n"
    "               [-j N] [--exclude PATTERN] [--code-page CP] ARCHIVE [NAME...]\n"
    "       quern t [-v] [-k KEY] [-j N] [--code-page CP] ARCHIVE\n"
    "       quern c [-v] [-C DIR] [-m none|rle|lzh|lh5] [-k KEY [--scramble]]\n"
    "               [-j N] [--exclude PATTERN] [--code-page CP] ARCHIVE PATH...\n"
    "       quern --help | --version\n"
    "\n"
    "Commands (a leading \"-\" is allowed: quern -x):\n"
    "  l  list the entries in a table: date, method, lock, checksum, size,\n"
    "     packed size, ratio and name, with a totals line\n"
    "  x  extract the entries below DIR (default: here); a NAME selects an entry,\n"
    "     a directory's entries, or what a wildcard (* ? [...]) matches; names\n"
    "     that are rooted, carry a drive or contain \"..\" are refused unless -P\n"
    "     is given; a file whose data starts with \"#!\" or the ELF magic is made\n"
    "     executable (POSIX)\n"
    "  t  decode every entry and check it, writing nothing\n"
    "  c  create ARCHIVE from files and directories (recursively); names are\n"
    "     stored relative to each PATH's parent; default method lh5, stored where\n"
    "     coding would not shrink a file\n"
    "\n"
    "Options (short ones combine: quern x -vC out a.zmar, or quern xvf a.zmar):\n"
    "  -v, --verbose         list each entry as it is processed\n"
    "  -C, --directory DIR   x: extract below DIR; c: read the PATHs from DIR\n"
    "  -O, --to-stdout       x: write the entries' data to standard output\n"
    "  -P, --absolute-names  x: write rooted names and names with \"..\" where\n"
    "                        they point\n"
    "  --keep-old-files      x: an existing file is not replaced, and that is an\n"
    "                        error\n"
    "  --skip-old-files      x: an existing file is not replaced, silently\n"
    "  --exclude PATTERN     x, c: leave out names (or any of their directories)\n"
    "                        that match PATTERN; may be repeated\n"
    "  -m, --method M        c: none, rle, lzh or lh5 (default)\n"
    "  -k, --key KEY         lock (c) or unlock (x, t) entries with KEY, a 32-bit\n"
    "                        integer: decimal, or hexadecimal with 0x\n"
    "  --scramble            c: also scramble the coded bytes with KEY\n"
    "  -j, --jobs N          c, x, t: code N entries at once (default: one per\n"
    "                        processor, at most 8); the archive and the output\n"
    "                        are the same for every N, -j 1 works entry by\n"
    "                        entry\n"
    "  --code-page CP        names in the archive: 1252 (Windows-1252, the\n"
    "                        default), 1250, 1251, 437, 850 or 65001 (UTF-8);\n"
    "                        converted from and to the UTF-8 of POSIX file names\n"
    "  -f, --file ARCHIVE    name the archive explicitly (tar's habit)\n"
    "  -h, --help            print this help and exit\n"
    "  --version             print the version and exit\n"
    "  --                    what follows is a NAME or PATH, even if it starts\n"
    "                        with -\n"
    "\n"
    "ARCHIVE \"-\" reads the archive from standard input (l, x, t) or writes it\n"
    "to standard output (c). Long options also take their value as\n"
    "--option=VALUE. With SOURCE_DATE_EPOCH set, c stores no date after it.\n"
    "A progress bar is drawn on standard error when it is a terminal.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  an entry or the archive failed (one message per failure on standard\n"
    "     error)\n"
    "  2  a usage error\n"
    "\n"
    "Examples:\n"
    "  quern c -v docs.zmar docs        archive the tree docs/ as docs/...\n"
    "  quern l docs.zmar                list it\n"
    "  quern xvf docs.zmar -C out       extract it below out/, naming each file\n"
    "  quern x docs.zmar 'docs/*.txt'   extract only the entries that match\n"
    "  quern c -k 0x1234 - docs | quern t -k 0x1234 -\n"
    "                                   lock with a key, stream, and test\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// On POSIX file names are UTF-8 and stored names are in a Windows code page;
// on Windows both are the ANSI code page already.
constexpr bool ConvertNames = platform::PathDelim == '/';

int32_t ParseKey(const std::string& text) {
    // Decimal or 0x hexadecimal only: a leading zero does not make octal.
    size_t start = text[0] == '-' || text[0] == '+' ? 1 : 0;
    const bool hex = text.size() > start + 1 && text[start] == '0' && (text[start + 1] == 'x' || text[start + 1] == 'X');
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (text.empty() || text.size() == start || *end != '\0' || errno != 0 || value < INT32_MIN ||
        value > static_cast<long long>(UINT32_MAX))
        throw UsageError("not a 32-bit key: " + text);
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

struct Options {
    char command = 0;
    std::string archive;
    bool haveArchive = false;
    std::vector<std::string> names;
    std::string directory;
    std::string method = "lh5";
    int32_t key = 0;
    bool haveKey = false;
    bool scramble = false;
    bool absoluteNames = false;
    bool verbose = false;
    bool toStdout = false;
    enum { Replace, KeepFails, KeepSilently } existing = Replace;
    std::vector<std::string> excludes;
    int codePage = codepage::Windows1252;
    // --help or --version ends the parse: what came before it is not checked.
    bool help = false;
    bool version = false;
    unsigned jobs = DefaultThreadCount();
};

unsigned ParseJobs(const std::string& text) {
    const auto jobs = toolkit::ParseJobs(text);
    if (!jobs) throw UsageError("not a number of jobs from 1 to 1024: " + text);
    return *jobs;
}

// Which command may take which option.
void Allow(const Options& o, const std::string& option, const char* commands) {
    if (std::string(commands).find(o.command) == std::string::npos)
        throw UsageError("option " + option + " does not go with '" + std::string(1, o.command) + "'");
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    // The command, maybe with short options after it: "x", "-x", "xvf", "-xvC".
    std::string first = argv[1];
    if (first.size() > 1 && first[0] == '-') first.erase(0, 1);
    if (first.empty() || std::string("lxtc").find(first[0]) == std::string::npos)
        throw UsageError("unknown command '" + std::string(argv[1]) + "'");
    o.command = first[0];

    int i = 2;
    const auto next = [&](const std::string& option) -> std::string {
        if (i >= argc) throw UsageError("option " + option + " needs a value");
        return argv[i++];
    };
    const auto setArchive = [&](const std::string& name) {
        if (o.haveArchive) throw UsageError("two archives named: " + o.archive + " and " + name);
        o.archive = name;
        o.haveArchive = true;
    };
    // One short option; `rest` is what follows it in its cluster, taken as
    // the value of an option that needs one.
    const auto shortOption = [&](char c, std::string& rest) {
        const std::string name = std::string("-") + c;
        const auto value = [&]() {
            std::string v = rest.empty() ? next(name) : rest;
            rest.clear();
            return v;
        };
        switch (c) {
            case 'v': o.verbose = true; break;
            case 'O': Allow(o, name, "x"); o.toStdout = true; break;
            case 'P': Allow(o, name, "x"); o.absoluteNames = true; break;
            case 'C': Allow(o, name, "xc"); o.directory = value(); break;
            case 'm': Allow(o, name, "c"); o.method = value(); break;
            case 'k': o.key = ParseKey(value()); o.haveKey = true; break;
            case 'j': Allow(o, name, "cxt"); o.jobs = ParseJobs(value()); break;
            case 'f': setArchive(value()); break;
            case 'h': o.help = true; break;
            default: throw UsageError("unknown option " + name + " for '" + std::string(1, o.command) + "'");
        }
    };
    std::string cluster = first.substr(1);
    while (!cluster.empty()) {
        const char c = cluster[0];
        cluster.erase(0, 1);
        shortOption(c, cluster);
        if (o.help) return o;
    }

    std::vector<std::string> positional;
    bool optionsEnded = false;
    while (i < argc) {
        std::string arg = argv[i++];
        std::string inlineValue;
        bool hasInlineValue = false;
        if (!optionsEnded && arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            inlineValue = arg.substr(arg.find('=') + 1);
            arg.erase(arg.find('='));
            hasInlineValue = true;
        }
        const auto value = [&]() { return hasInlineValue ? inlineValue : next(arg); };
        if (optionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg.rfind("--", 0) == 0) {
            if (arg == "--help") o.help = true;
            else if (arg == "--version") o.version = true;
            else if (arg == "--verbose") o.verbose = true;
            else if (arg == "--to-stdout") { Allow(o, arg, "x"); o.toStdout = true; }
            else if (arg == "--absolute-names") { Allow(o, arg, "x"); o.absoluteNames = true; }
            else if (arg == "--keep-old-files") { Allow(o, arg, "x"); o.existing = Options::KeepFails; }
            else if (arg == "--skip-old-files") { Allow(o, arg, "x"); o.existing = Options::KeepSilently; }
            else if (arg == "--directory") { Allow(o, arg, "xc"); o.directory = value(); }
            else if (arg == "--method") { Allow(o, arg, "c"); o.method = value(); }
            else if (arg == "--key") { o.key = ParseKey(value()); o.haveKey = true; }
            else if (arg == "--scramble") { Allow(o, arg, "c"); o.scramble = true; }
            else if (arg == "--jobs") { Allow(o, arg, "cxt"); o.jobs = ParseJobs(value()); }
            else if (arg == "--exclude") { Allow(o, arg, "xc"); o.excludes.push_back(value()); }
            else if (arg == "--file") setArchive(value());
            else if (arg == "--code-page") {
                const auto cp = codepage::Parse(value());
                if (!cp) throw UsageError("unknown code page " + value() + " (" + codepage::KnownCodePages + ")");
                o.codePage = *cp;
            } else throw UsageError("unknown option " + arg + " for '" + std::string(1, o.command) + "'");
        } else {
            std::string rest = arg.substr(1);
            while (!rest.empty()) {
                const char c = rest[0];
                rest.erase(0, 1);
                shortOption(c, rest);
            }
        }
        if (o.help || o.version) return o;
    }
    size_t p = 0;
    if (!o.haveArchive) {
        if (positional.empty()) throw UsageError("no archive named");
        setArchive(positional[p++]);
    }
    o.names.assign(positional.begin() + static_cast<std::ptrdiff_t>(p), positional.end());
    if (o.scramble && !o.haveKey) throw UsageError("--scramble needs a key (-k)");
    if (o.haveKey && o.key == 0) throw UsageError("key 0 means no key");
    if ((o.command == 'l' || o.command == 't') && !o.names.empty())
        throw UsageError("'" + std::string(1, o.command) + "' takes no NAME: " + o.names[0]);
    return o;
}

std::string MethodName(uint8_t type) { return type < 5 ? MethodIDs[type] : "#" + std::to_string(type); }

std::string FormatDate(uint32_t packed) {
    const unsigned date = packed >> 16, time = packed & 0xFFFF;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                  time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

// An operating-system failure's message with the system's reason, once.
std::string WithReason(const EInOutError& e) {
    const std::string reason = e.ErrorCode ? platform::ErrorText(e.ErrorCode) : std::string();
    if (reason.empty() || e.Message.find(reason) != std::string::npos) return e.Message;
    return e.Message + ": " + reason;
}

// A stored name ("\\" between components, code-page bytes) as a native path
// below the target directory.
std::string NativeName(const Options& o, const std::string& stored) {
    return platform::ToNativeSeparators(ConvertNames ? codepage::ToUtf8(stored, o.codePage) : stored);
}

// A stored name as the user sees it; control characters, which a hostile
// name may hold, made visible.
std::string ShownName(const Options& o, const std::string& stored) { return PrintableName(NativeName(o, stored)); }

// "/" between components, for matching names against patterns.
std::string Generic(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// The listing with its info objects freed however the caller leaves.
struct Listing {
    TStringList list;
    ~Listing() { TQuern::FreeListing(&list); }
    const TArchiveFileInfo& Info(int i) const { return *static_cast<TArchiveFileInfo*>(list.Objects(i)); }
};

// A temporary file that is deleted when it goes.
struct TempFile {
    std::string path;
    TempFile() : path(platform::CreateTempFileName(platform::TempPath(), "qrn")) {
        if (path.empty()) throw Exception("cannot create a temporary file in " + platform::TempPath() + toolkit::SystemReason());
    }
    ~TempFile() { platform::DeleteFile(path); }
};

void CopyStandardInputTo(const std::string& path) {
    const platform::FileHandle in = platform::StandardFile(0);
    if (platform::IsTerminal(in)) throw Exception("refusing to read an archive from a terminal");
    TFileStream out(path, fmCreate);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        platform::ClearLastError();
        const int32_t n = platform::ReadFile(in, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (n == 0) break;
        if (n < 0) {
            // A Windows pipe reports its end as a broken pipe.
            if (platform::PathDelim == '\\' && platform::LastErrorCode() == 109) break;
            throw Exception("cannot read standard input" + toolkit::SystemReason());
        }
        out.WriteBuffer(buffer.data(), n);
    }
}

void WriteAllTo(platform::FileHandle out, const void* data, int32_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        platform::ClearLastError();
        const int32_t n = platform::WriteFile(out, p, count);
        if (n <= 0) throw Exception("cannot write standard output" + toolkit::SystemReason());
        p += n;
        count -= n;
    }
}

// The archive's file: the named one, or standard input copied to a
// temporary file (listing and expanding need to seek).
class ArchiveInput {
public:
    explicit ArchiveInput(const std::string& name) {
        if (name != "-") {
            path_ = name;
            return;
        }
        temp_ = std::make_unique<TempFile>();
        CopyStandardInputTo(temp_->path);
        path_ = temp_->path;
    }
    const std::string& Path() const { return path_; }

private:
    std::unique_ptr<TempFile> temp_;
    std::string path_;
};

int List(const Options& o) {
    const ArchiveInput input(o.archive);
    Listing listing;
    // A damaged archive still shows the entries before the damage.
    std::string damage;
    try {
        TQuern().ListArchiveFile(input.Path(), listing.list);
    } catch (const EInvalidHeader& e) {
        if (listing.list.Count() == 0) throw;
        damage = e.Message;
    }
    const char* const rule = "------------------- ------ ---- -------- ---------- ---------- ------ --------------------";
    std::printf("%-19s %-6s %-4s %-8s %10s %10s %6s %s\n", "Date       Time", "Method", "Lock", "Checksum", "Size",
                "Packed", "Ratio", "Name");
    std::printf("%s\n", rule);
    const auto ratio = [](long long packed, long long size) {
        char text[16] = "-";
        if (size > 0) std::snprintf(text, sizeof text, "%.1f%%", static_cast<double>(packed) * 100.0 / static_cast<double>(size));
        return std::string(text);
    };
    long long size = 0, packed = 0;
    for (int i = 0; i < listing.list.Count(); ++i) {
        const auto& info = listing.Info(i);
        std::printf("%-19s %-6s %-4s %08X %10d %10d %6s %s\n", FormatDate(info.FileDate).c_str(),
                    MethodName(info.CompressionType).c_str(), info.Locked ? "yes" : "no", info.Checksum,
                    info.UncompressedSize, info.CompressedSize, ratio(info.CompressedSize, info.UncompressedSize).c_str(),
                    ShownName(o, listing.list.Strings(i)).c_str());
        size += info.UncompressedSize;
        packed += info.CompressedSize;
    }
    std::printf("%s\n", rule);
    const int n = listing.list.Count();
    std::printf("%-19s %-6s %-4s %-8s %10lld %10lld %6s %d %s\n", "", "", "", "", size, packed,
                ratio(packed, size).c_str(), n, n == 1 ? "file" : "files");
    if (damage.empty()) return 0;
    Error(o.archive + ": " + damage);
    return 1;
}

// Whether a NAME argument selects a stored name (both "/"-separated): the
// name itself, a directory holding it, or a wildcard matching either.
bool Selects(std::string argument, const std::string& name) {
    while (argument.size() > 1 && argument.back() == '/') argument.pop_back();
    if (SameAsciiText(argument, name)) return true;
    if (name.size() > argument.size() && name[argument.size()] == '/' &&
        SameAsciiText(argument, name.substr(0, argument.size())))
        return true;
    if (!toolkit::HasWildcards(argument)) return false;
    for (size_t cut = name.size();; cut = name.rfind('/', cut - 1)) {
        if (toolkit::WildcardMatch(argument, name.substr(0, cut))) return true;
        if (cut == 0 || cut == std::string::npos || name.rfind('/', cut - 1) == std::string::npos) return false;
    }
}

// Counts and forwards what is written to it: to standard output, or nowhere.
class TSinkStream : public TStream {
public:
    explicit TSinkStream(platform::FileHandle out) : out_(out) {}
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* data, int32_t count) override {
        if (count <= 0) return 0;
        if (position_ != size_) throw Exception("cannot seek on the output");
        if (out_ != platform::InvalidFile) WriteAllTo(out_, data, count);
        position_ += count;
        size_ = position_;
        return count;
    }
    int64_t Seek(int64_t offset, SeekOrigin origin) override {
        const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
        position_ = std::max<int64_t>(0, base + offset);
        return position_;
    }
    int64_t Size() override { return size_; }

private:
    platform::FileHandle out_;
    int64_t position_ = 0, size_ = 0;
};

// Decodes the entries for which `wanted` holds (all when it is empty) into
// `out` (standard output), or into nothing to test them. One error line per
// failed entry; returns the number that failed.
int DecodeEntries(const Options& o, const std::string& archive, const std::vector<bool>& wanted,
                  platform::FileHandle out, int& ok) {
    TQuern quern;
    quern.Key = o.key;
    TFileStream file(archive, fmOpenRead | fmShareExclusive);
    // The walk and the workers that decode ahead of it read the one file.
    std::mutex lock;
    TStreamView stream(file, lock);
    std::unique_ptr<TParallelExpander> ahead;
    if (o.jobs > 1)
        ahead = std::make_unique<TParallelExpander>(
            file, lock, o.jobs, o.key, out != platform::InvalidFile,
            [&](size_t index, const TFileHeader&) { return wanted.empty() || (index < wanted.size() && wanted[index]); });
    quern.EntryDecoder = ahead.get();
    TArchiveWalk walk(stream, nullptr);
    int bad = 0;
    toolkit::Progress progress(static_cast<uint64_t>(std::max<int64_t>(stream.Size(), 1)));
    try {
        for (size_t index = 0; walk.Next(); ++index) {
            const TFileHeader& fh = walk.Entry;
            const int64_t dataStart = walk.DataStart;
            const std::string shown = ShownName(o, walk.Name);
            if (!wanted.empty() && (index >= wanted.size() || !wanted[index])) continue;
            progress.Update(static_cast<uint64_t>(dataStart), shown);
            quern.OnShowProgress = [&](int32_t& percent) {
                progress.Update(static_cast<uint64_t>(dataStart + int64_t{fh.CompressedSize} * percent / 100), shown);
            };
            try {
                if (!quern.CanExpandType(fh.CompressionType))
                    throw Exception("unsupported method " + MethodName(fh.CompressionType));
                TSinkStream sink(out);
                quern.ExpandWalkEntry(sink, stream, walk);
                ++ok;
                if (o.verbose) {
                    progress.Clear();
                    std::fprintf(out == platform::InvalidFile ? stdout : stderr, "%s\n", shown.c_str());
                }
            } catch (const std::exception& e) {
                Error(shown + ": " + e.what());
                ++bad;
            }
        }
    } catch (const Exception& e) {  // the archive itself: cut short, or its sizes do not add up
        Error(o.archive + ": " + e.Message);
        ++bad;
    }
    if (bad == 0) progress.Finish();
    return bad;
}

int Test(const Options& o) {
    const ArchiveInput input(o.archive);
    int ok = 0;
    if (DecodeEntries(o, input.Path(), {}, platform::InvalidFile, ok) > 0) return 1;
    std::printf("%d entries OK\n", ok);
    return 0;
}

int Extract(const Options& o) {
    const ArchiveInput input(o.archive);
    const std::string& archive = input.Path();
    Listing listing;
    TQuern().ListArchiveFile(archive, listing.list);
    const int count = listing.list.Count();

    // Which entries the NAMEs and exclusions select.
    std::vector<bool> wanted(static_cast<size_t>(count), false);
    std::vector<bool> found(o.names.size(), false);
    for (int i = 0; i < count; ++i) {
        const std::string name = Generic(ShownName(o, listing.list.Strings(i)));
        bool selected = o.names.empty();
        for (size_t n = 0; n < o.names.size(); ++n)
            if (Selects(Generic(o.names[n]), name)) selected = found[n] = true;
        wanted[static_cast<size_t>(i)] = selected && !toolkit::Excluded(o.excludes, name);
    }
    for (size_t n = 0; n < o.names.size(); ++n)
        if (!found[n]) Error(o.names[n] + ": not found in archive");

    if (o.toStdout) {
        const platform::FileHandle out = platform::StandardFile(1);
        int ok = 0;
        if (std::find(wanted.begin(), wanted.end(), true) != wanted.end())
            DecodeEntries(o, archive, wanted, out, ok);
        return toolkit::ErrorCount() > 0 ? 1 : 0;
    }

    uint64_t totalPacked = 0;
    for (int i = 0; i < count; ++i)
        if (wanted[static_cast<size_t>(i)]) totalPacked += static_cast<uint64_t>(listing.Info(i).CompressedSize);
    toolkit::Progress progress(totalPacked);
    uint64_t done = 0;

    // The component walks the entries whose names are in its file list, in
    // archive order; a failed entry ends its walk, so the walk is started
    // again after it until every selected entry has had its turn.
    int next = 0;
    while (next < count) {
        TStringList fileList;
        std::vector<int> walked;  // the entries this walk will meet, in order
        for (int i = next; i < count; ++i)
            if (wanted[static_cast<size_t>(i)] && fileList.IndexOf(listing.list.Strings(i)) < 0)
                fileList.Add(listing.list.Strings(i));
        // From the start: an entry before `next` with a name in the list (a
        // duplicate) is met again and must be counted.
        for (int i = 0; i < count; ++i)
            if (fileList.IndexOf(listing.list.Strings(i)) >= 0) walked.push_back(i);
        if (fileList.Count() == 0) break;

        TQuern quern;
        quern.MakeDirectories = true;
        quern.ExceptionOnFileError = true;
        quern.CheckSpaceBeforeExpand = true;
        quern.Key = o.key;
        // Only what lies below DIR is the archive's: no link there is followed.
        quern.SetTargetPath(o.directory);
        size_t reached = 0;
        int currentIndex = -1;
        std::string current;
        // The handler judges each entry by its stored name and leaves the
        // target path the component formed.
        quern.OnCheckFile = [&](std::string& path, TCProcessMode) {
            currentIndex = reached < walked.size() ? walked[reached] : -1;
            ++reached;
            const std::string stored = currentIndex >= 0 ? listing.list.Strings(currentIndex) : path;
            current = ShownName(o, stored);
            platform::ClearLastError();
            if (currentIndex >= 0 && currentIndex < next) {  // had its turn in an earlier walk
                path.clear();
                return;
            }
            const TArchiveFileInfo* info = currentIndex >= 0 ? &listing.Info(currentIndex) : nullptr;
            if (info) progress.Update(done, current);
            const auto skip = [&](const std::string& why) {
                if (!why.empty()) Error(current + ": " + why);
                if (info) done += static_cast<uint64_t>(info->CompressedSize);
                path.clear();
            };
            if (currentIndex >= 0 && !wanted[static_cast<size_t>(currentIndex)]) return skip("");
            // -P allows rooted names and "..", never control characters.
            const std::string why = UnsafeNameReason(stored);
            if (HasControlCharacter(stored)) return skip(why + ", not extracted");
            if (!why.empty() && !o.absoluteNames) return skip(why + ", not extracted (-P allows it)");
            if (info && !quern.CanExpandType(info->CompressionType))
                return skip("unsupported method " + MethodName(info->CompressionType) + ", not extracted");
            // The component formed TargetPath and the stored name; the name
            // is written in the terminal's encoding.
            const std::string native = NativeName(o, stored);
            path = platform::IsPathDelim(native[0]) ? native : quern.TargetPath() + native;
            if (o.existing != Options::Replace) {
                std::error_code ec;
                if (fs::exists(fs::symlink_status(path, ec)))
                    return skip(o.existing == Options::KeepFails ? "exists, not replaced (--keep-old-files)" : "");
            }
            if (o.verbose) {
                progress.Clear();
                std::printf("%s\n", current.c_str());
                std::fflush(stdout);
            }
        };
        quern.OnShowProgress = [&](int32_t& percent) {
            if (currentIndex >= 0)
                progress.Update(done + static_cast<uint64_t>(listing.Info(currentIndex).CompressedSize) *
                                           static_cast<uint64_t>(std::max(percent, 0)) / 100,
                                current);
        };
        const auto afterWalk = [&](const TStringList& written) {
            for (int w = 0; w < written.Count(); ++w)
                if (!platform::MarkExecutableIfProgram(written.Strings(w)))
                    Warn(written.Strings(w) + ": cannot make it executable" + toolkit::SystemReason());
        };
        try {
            // Entries of this walk are decoded ahead; one the handler passes
            // over costs only the work done on it.
            ExpandArchiveFileParallel(quern, archive, &fileList, o.jobs, [&](size_t index, const TFileHeader&) {
                return index < wanted.size() && wanted[index] && static_cast<int>(index) >= next;
            });
            afterWalk(fileList);
            if (reached < walked.size())
                Error(o.archive + ": the archive's total size was reached early; " +
                      std::to_string(walked.size() - reached) + " entries not extracted");
            break;
        } catch (const EFCreateError& e) {
            Error((current.empty() ? o.archive : current) + ": " + e.MessageWithReason());
        } catch (const EStreamError& e) {
            Error((current.empty() ? o.archive : current) + ": " + e.Message + toolkit::SystemReason());
        } catch (const EInOutError& e) {
            Error((current.empty() ? o.archive : current) + ": " + WithReason(e));
        } catch (const Exception& e) {
            Error((current.empty() ? o.archive : current) + ": " + e.Message);
        }
        // Only a failed entry goes on; a failure before any entry is the archive's.
        if (currentIndex < next) break;
        done += static_cast<uint64_t>(listing.Info(currentIndex).CompressedSize);
        next = currentIndex + 1;
    }
    if (toolkit::ErrorCount() == 0) progress.Finish();
    return toolkit::ErrorCount() > 0 ? 1 : 0;
}

int Create(const Options& o) {
    if (o.names.empty()) throw UsageError("nothing to archive");
    const std::string methods[] = {"none", "rle", "lzh", "custom", "lh5"};
    const auto m = std::find(std::begin(methods), std::end(methods), o.method);
    if (m == std::end(methods) || *m == "custom") throw UsageError("unknown method " + o.method);
    const auto type = static_cast<uint8_t>(m - std::begin(methods));
    if (o.scramble && type == ctNone) throw UsageError("--scramble needs a coding method, not -m none");
    const int32_t lockFlag = !o.haveKey ? 0 : o.scramble ? 2 : 1;
    const bool toStdout = o.archive == "-";
    if (toStdout && platform::IsTerminal(platform::StandardFile(1)))
        throw Exception("refusing to write an archive to a terminal");

    TArchiveWriter writer;
    writer.CompressID = MethodIDs[type];
    writer.Key = o.key;
    writer.LatestDate = toolkit::SourceDateLimit();
    writer.Threads = o.jobs;
    std::error_code ec;
    const fs::path archivePath(o.archive);
    std::set<std::string> stored;  // ASCII letters folded: Windows would merge such names
    struct Added {
        std::string shown;
        uint64_t size;
    };
    std::vector<Added> added;
    // A PATH that is not there is most likely mistyped: no archive, rather
    // than one without it that replaces the old one.
    for (const std::string& argument : o.names) {
        const fs::path path = o.directory.empty() || fs::path(argument).is_absolute() ? fs::path(argument)
                                                                                      : fs::path(o.directory) / argument;
        if (!fs::exists(fs::symlink_status(path, ec))) Error(path.string() + ": no such file or directory");
    }
    if (toolkit::ErrorCount() > 0) {
        Error(o.archive + ": archive not written");
        return 1;
    }
    for (const std::string& argument : o.names) {
        const fs::path given(argument);
        const fs::path path = o.directory.empty() || given.is_absolute() ? given : fs::path(o.directory) / given;
        // Stored below the directory's own name, which ".", ".." and a root do not have.
        fs::path prefix = given.lexically_normal();
        if (!prefix.has_filename()) prefix = prefix.parent_path();
        prefix = prefix.filename();
        if (prefix == "." || prefix == ".." || prefix.empty()) prefix.clear();
        const bool isDirectory = fs::is_directory(path, ec);
        for (const toolkit::InputFile& file : toolkit::CollectTree(path, isDirectory ? prefix.string() : std::string(), o.excludes)) {
            if (!toStdout && fs::exists(archivePath, ec) && fs::equivalent(file.path, archivePath, ec)) continue;  // not into itself
            std::string name = file.name;  // "/" between components, whatever the platform
            std::replace(name.begin(), name.end(), '/', '\\');
            name = platform::ToNativeSeparators(name);
            if (ConvertNames) {
                const auto converted = codepage::FromUtf8(name, o.codePage);
                if (!converted) {
                    Error(file.path.string() + ": the name cannot be written in code page " +
                          std::to_string(o.codePage) + "; not stored (--code-page 65001 keeps UTF-8 names)");
                    continue;
                }
                name = *converted;
            }
            std::string folded = platform::ToStoredSeparators(name);
            for (char& c : folded)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (!stored.insert(folded).second) {
                Error(file.path.string() + ": a second file named " + file.name + " (names ignore case); not stored");
                continue;
            }
            try {
                writer.AddFile(file.path.string(), name, type, lockFlag);
                added.push_back({ConvertNames ? file.name : name, file.size});
            } catch (const Exception& e) {
                Error(file.path.string() + ": " + e.Message + toolkit::SystemReason());
            }
        }
    }

    uint64_t total = 0;
    for (const auto& a : added) total += a.size;
    toolkit::Progress progress(total);
    uint64_t before = 0;
    int current = -1;
    FILE* const listTo = toStdout ? stderr : stdout;
    writer.OnEntry = [&](int index) {
        if (current >= 0) before += added[static_cast<size_t>(current)].size;
        current = index;
        progress.Update(before, added[static_cast<size_t>(index)].shown);
        if (o.verbose) {
            progress.Clear();
            std::fprintf(listTo, "%s\n", added[static_cast<size_t>(index)].shown.c_str());
            std::fflush(listTo);
        }
    };
    writer.OnShowProgress = [&](int32_t& percent) {
        if (current >= 0)
            progress.Update(before + added[static_cast<size_t>(current)].size * static_cast<uint64_t>(std::max(percent, 0)) / 100,
                            added[static_cast<size_t>(current)].shown);
    };
    const auto where = [&] { return current >= 0 ? added[static_cast<size_t>(current)].shown + ": " : std::string(); };
    try {
        platform::ClearLastError();
        if (toStdout) {
            TempFile temp;
            {
                TFileStream out(temp.path, fmCreate);
                writer.WriteToStream(out);
            }
            current = -1;
            progress.Finish();
            TFileStream in(temp.path, fmOpenRead | fmShareDenyNone);
            std::vector<char> buffer(1 << 16);
            for (int32_t n; (n = in.Read(buffer.data(), static_cast<int32_t>(buffer.size()))) > 0;)
                WriteAllTo(platform::StandardFile(1), buffer.data(), n);
        } else {
            writer.WriteToFile(o.archive);
            platform::SetNewFilePermissions(o.archive);
            progress.Finish();
        }
    } catch (const EFCreateError& e) {
        Error(o.archive + ": " + where() + e.MessageWithReason() + "; archive not written");
    } catch (const EStreamError& e) {
        Error(o.archive + ": " + where() + e.Message + toolkit::SystemReason() + "; archive not written");
    } catch (const EInOutError& e) {
        Error(o.archive + ": " + where() + WithReason(e) + "; archive not written");
    } catch (const Exception& e) {
        Error(o.archive + ": " + where() + e.Message + "; archive not written");
    }
    return toolkit::ErrorCount() > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    toolkit::SetProgramName("quern");
    if (argc < 2) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const auto help = [] {
        std::fputs(Usage, stdout);
        return 0;
    };
    const auto version = [] {
        std::printf("quern %s\n", QUERN_VERSION);
        return 0;
    };
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") return help();
    if (command == "--version") return version();
    try {
        const Options o = ParseOptions(argc, argv);
        if (o.help) return help();
        if (o.version) return version();
        if (o.command == 'l') return List(o);
        if (o.command == 'x') return Extract(o);
        if (o.command == 't') return Test(o);
        return Create(o);
    } catch (const UsageError& e) {
        Error(std::string(e.what()) + " (quern --help tells more)");
        return 2;
    } catch (const EFCreateError& e) {
        Error(e.MessageWithReason());
        return 1;
    } catch (const EStreamError& e) {
        Error(e.Message + toolkit::SystemReason());
        return 1;
    } catch (const std::exception& e) {  // Exception and the library's own failures alike
        Error(e.what());
        return 1;
    }
}
