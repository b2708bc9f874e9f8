// quern: list, extract, test and create "ZMAR" archives from the command line.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/ArchiveWriter.h"
#include "archive/Quern.h"
#include "platform/Platform.h"

namespace fs = std::filesystem;

namespace {

const char* const Usage =
    "usage: quern l ARCHIVE\n"
    "       quern x ARCHIVE [-C DIR] [-k KEY] [-P] [-v] [NAME...]\n"
    "       quern t ARCHIVE [-k KEY]\n"
    "       quern c [-m none|rle|lzh|lh5] [-k KEY [--scramble]] ARCHIVE PATH...\n"
    "\n"
    "  l  list the entries: size, packed size, ratio, method, date, lock, checksum, name\n"
    "  x  extract the entries (or only the NAMEs given) below DIR (default: here);\n"
    "     names that are rooted, carry a drive or contain \"..\" are refused unless\n"
    "     -P (--absolute-names) is given\n"
    "  t  decode every entry and check it, writing nothing\n"
    "  c  create ARCHIVE from files and directories (recursively); names are stored\n"
    "     relative to each PATH's parent; default method lh5, stored where coding\n"
    "     would not shrink a file; -k locks every entry with KEY, --scramble also\n"
    "     scrambles the coded bytes with it\n"
    "\n"
    "KEY is a 32-bit integer (decimal, or hexadecimal with 0x).\n"
    "Exit status: 0 success, 1 an entry or the archive failed, 2 a usage error.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void Error(const std::string& message) { std::fprintf(stderr, "quern: %s\n", message.c_str()); }

int32_t ParseKey(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > static_cast<long long>(UINT32_MAX))
        throw UsageError("not a 32-bit key: " + text);
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

struct Options {
    std::string command;
    std::vector<std::string> positional;
    std::string directory;
    std::string method = "lh5";
    int32_t key = 0;
    bool haveKey = false;
    bool scramble = false;
    bool absoluteNames = false;
    bool verbose = false;
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    o.command = argv[1];
    bool optionsEnded = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError("option " + arg + " needs a value");
            return argv[++i];
        };
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            o.positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-C" && o.command == "x") {
            o.directory = value();
        } else if (arg == "-k") {
            o.key = ParseKey(value());
            o.haveKey = true;
        } else if (arg == "-m" && o.command == "c") {
            o.method = value();
        } else if (arg == "--scramble" && o.command == "c") {
            o.scramble = true;
        } else if ((arg == "-P" || arg == "--absolute-names") && o.command == "x") {
            o.absoluteNames = true;
        } else if (arg == "-v") {
            o.verbose = true;
        } else {
            throw UsageError("unknown option " + arg + " for '" + o.command + "'");
        }
    }
    if (o.positional.empty()) throw UsageError("no archive named");
    if (o.scramble && !o.haveKey) throw UsageError("--scramble needs a key (-k)");
    if (o.haveKey && o.key == 0) throw UsageError("key 0 means no key");
    return o;
}

// Why a stored name may not be written below the target directory; empty
// when it may. Both separators count, whatever the platform.
std::string UnsafeReason(const std::string& name) {
    if (name.empty()) return "empty name";
    if (name[0] == '\\' || name[0] == '/') return "rooted name";
    if (name.size() > 1 && name[1] == ':') return "name with a drive";
    for (size_t start = 0;;) {
        const size_t end = std::min(name.find_first_of("\\/", start), name.size());
        if (name.substr(start, end - start) == "..") return "name containing \"..\"";
        if (end == name.size()) return {};
        start = end + 1;
    }
}


std::string MethodName(uint8_t type) { return type < 5 ? MethodIDs[type] : "#" + std::to_string(type); }

std::string FormatDate(uint32_t packed) {
    const unsigned date = packed >> 16, time = packed & 0xFFFF;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                  time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

// The listing with its info objects freed however the caller leaves.
struct Listing {
    TStringList list;
    ~Listing() { TQuern::FreeListing(&list); }
    const TArchiveFileInfo& Info(int i) const { return *static_cast<TArchiveFileInfo*>(list.Objects(i)); }
};

int List(const Options& o) {
    Listing listing;
    TQuern().ListArchiveFile(o.positional[0], listing.list);
    std::printf("%10s %10s %6s %-6s %-19s %-6s %-8s %s\n", "Size", "Packed", "Ratio", "Method", "Date and time",
                "Locked", "Checksum", "Name");
    int64_t size = 0, packed = 0;
    for (int i = 0; i < listing.list.Count(); ++i) {
        const auto& info = listing.Info(i);
        char ratio[16] = "-";
        if (info.UncompressedSize > 0)
            std::snprintf(ratio, sizeof ratio, "%lld%%",
                          static_cast<long long>(info.CompressedSize) * 100 / info.UncompressedSize);
        std::printf("%10d %10d %6s %-6s %-19s %-6s %08X %s\n", info.UncompressedSize, info.CompressedSize, ratio,
                    MethodName(info.CompressionType).c_str(), FormatDate(info.FileDate).c_str(),
                    info.Locked ? "yes" : "no", info.Checksum, listing.list.Strings(i).c_str());
        size += info.UncompressedSize;
        packed += info.CompressedSize;
    }
    std::printf("%10lld %10lld %6s %d entries\n", static_cast<long long>(size), static_cast<long long>(packed), "",
                listing.list.Count());
    return 0;
}

int Extract(const Options& o) {
    const std::string& archive = o.positional[0];
    const std::vector<std::string> names(o.positional.begin() + 1, o.positional.end());
    TQuern quern;
    quern.MakeDirectories = true;
    quern.ExceptionOnFileError = true;
    quern.Key = o.key;
    std::string target = o.directory;
    if (!target.empty() && target.back() != platform::PathDelim) target += platform::PathDelim;

    // The walk meets the selected entries in listing order; the listing tells
    // each one's method.
    Listing listing;
    quern.ListArchiveFile(archive, listing.list);
    std::vector<const TArchiveFileInfo*> selected;
    std::vector<bool> found(names.size(), false);
    for (int i = 0; i < listing.list.Count(); ++i) {
        bool wanted = names.empty();
        for (size_t n = 0; n < names.size(); ++n)
            if (SameAsciiText(names[n], listing.list.Strings(i))) wanted = found[n] = true;
        if (wanted) selected.push_back(&listing.Info(i));
    }
    bool failed = false;
    for (size_t n = 0; n < names.size(); ++n)
        if (!found[n]) {
            Error(names[n] + ": not found in archive");
            failed = true;
        }
    if (failed) return 1;

    // TargetPath stays empty, so the handler receives each stored name as it
    // is and decides itself where, and whether, it is written.
    size_t reached = 0;
    std::string current;
    quern.OnCheckFile = [&](std::string& path, TCProcessMode) {
        const TArchiveFileInfo* info = reached < selected.size() ? selected[reached] : nullptr;
        ++reached;
        current = path;
        const std::string why = o.absoluteNames ? std::string() : UnsafeReason(path);
        if (!why.empty()) {
            Error(current + ": " + why + ", not extracted (-P allows it)");
            failed = true;
            path.clear();
            return;
        }
        if (info && !quern.CanExpandType(info->CompressionType)) {
            Error(current + ": unsupported method " + MethodName(info->CompressionType) + ", not extracted");
            failed = true;
            path.clear();
            return;
        }
        if (!platform::IsPathDelim(path[0])) path = target + path;  // as the component joins TargetPath
        if (o.verbose) std::printf("%s\n", path.c_str());
    };
    TStringList fileList;
    for (const auto& name : names) fileList.Add(name);
    try {
        quern.ExpandArchiveFile(archive, names.empty() ? nullptr : &fileList);
    } catch (const Exception& e) {
        Error((current.empty() ? archive : current) + ": " + e.Message);
        return 1;
    }
    if (reached < selected.size()) {
        Error(archive + ": the archive's total size was reached early; " + std::to_string(selected.size() - reached) +
              " entries not extracted");
        failed = true;
    }
    return failed ? 1 : 0;
}

// Counts what is written to it and keeps nothing.
class TNullStream : public TStream {
public:
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void*, int32_t count) override {
        if (count <= 0) return 0;
        position_ += count;
        size_ = std::max(size_, position_);
        return count;
    }
    int64_t Seek(int64_t offset, SeekOrigin origin) override {
        const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
        position_ = std::max<int64_t>(0, base + offset);
        return position_;
    }
    int64_t Size() override { return size_; }

private:
    int64_t position_ = 0, size_ = 0;
};

int Test(const Options& o) {
    const std::string& archive = o.positional[0];
    TQuern quern;
    quern.Key = o.key;
    TFileStream stream(archive, fmOpenRead | fmShareExclusive);
    TArchiveHeader header;
    std::string id;
    ReadArchiveHeader(stream, header, id, nullptr);
    int ok = 0, bad = 0;
    int64_t total = 0;
    TFileHeader fh;
    std::string name;
    while (ReadFileHeader(stream, fh, name)) {
        const int64_t dataStart = stream.Position();
        total += fh.UncompressedSize;
        try {
            if (!quern.CanExpandType(fh.CompressionType))
                throw Exception("unsupported method " + MethodName(fh.CompressionType));
            TNullStream sink;
            quern.ExpandEntry(sink, stream, fh.CompressedSize, fh.UncompressedSize, fh.Checksum, fh.CompressionType,
                              id, fh.LockFlag);
            if (sink.Size() != fh.UncompressedSize)
                throw Exception("decoded to " + std::to_string(sink.Size()) + " bytes, the header says " +
                                std::to_string(fh.UncompressedSize));
            ++ok;
        } catch (const std::exception& e) {
            Error(name + ": " + e.what());
            ++bad;
        }
        stream.SetPosition(dataStart + fh.CompressedSize);
    }
    if (total != header.TotalSize && ok + bad > 0) {
        Error(archive + ": the header's total size " + std::to_string(header.TotalSize) +
              " differs from the entries' sum " + std::to_string(total));
        ++bad;
    }
    if (bad > 0) return 1;
    std::printf("%d entries OK\n", ok);
    return 0;
}

int Create(const Options& o) {
    if (o.positional.size() < 2) throw UsageError("nothing to archive");
    const std::string& archive = o.positional[0];
    const std::string methods[] = {"none", "rle", "lzh", "custom", "lh5"};
    const auto m = std::find(std::begin(methods), std::end(methods), o.method);
    if (m == std::end(methods) || *m == "custom") throw UsageError("unknown method " + o.method);
    const auto type = static_cast<uint8_t>(m - std::begin(methods));
    const int32_t lockFlag = !o.haveKey ? 0 : o.scramble ? 2 : 1;

    TArchiveWriter writer;
    writer.CompressID = MethodIDs[type];
    writer.Key = o.key;
    std::error_code ec;
    const fs::path archivePath(archive);
    std::set<std::string> stored;
    const auto add = [&](const fs::path& file, const fs::path& name) {
        if (fs::exists(archivePath, ec) && fs::equivalent(file, archivePath, ec)) return;  // not into itself
        const std::string storedName = name.lexically_normal().string();
        if (!stored.insert(platform::ToStoredSeparators(storedName)).second)
            throw Exception(file.string() + ": a second file named " + storedName);
        if (o.verbose) std::printf("%s\n", storedName.c_str());
        writer.AddFile(file.string(), storedName, type, lockFlag);
    };
    for (size_t i = 1; i < o.positional.size(); ++i) {
        const fs::path path(o.positional[i]);
        const auto status = fs::status(path, ec);
        if (fs::is_regular_file(status)) {
            add(path, path.filename());
        } else if (fs::is_directory(status)) {
            // Stored below the directory's own name, which ".", ".." and a root do not have.
            fs::path prefix = path.lexically_normal();
            if (!prefix.has_filename()) prefix = prefix.parent_path();
            prefix = prefix.filename();
            if (prefix == "." || prefix == ".." || prefix.empty()) prefix.clear();
            std::vector<fs::path> files;
            for (const auto& entry : fs::recursive_directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) add(file, prefix / file.lexically_relative(path));
        } else {
            throw Exception(path.string() + ": not a file or directory");
        }
    }
    writer.WriteToFile(archive);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(Usage, stdout);
        return 0;
    }
    try {
        if (command != "l" && command != "x" && command != "t" && command != "c")
            throw UsageError("unknown command '" + command + "'");
        const Options o = ParseOptions(argc, argv);
        if (command == "l") return List(o);
        if (command == "x") return Extract(o);
        if (command == "t") return Test(o);
        return Create(o);
    } catch (const UsageError& e) {
        Error(std::string(e.what()) + " (quern --help tells more)");
        return 2;
    } catch (const std::exception& e) {  // Exception and the library's own failures alike
        Error(e.what());
        return 1;
    }
}
