#include "tools/support/ToolKit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <system_error>

#include <quern/Platform.h>
#include "platform/ToolSupport.h"

using namespace quern;

namespace fs = std::filesystem;

namespace toolkit {
namespace {

std::string programName = "quern";
int errors = 0;
Progress* activeProgress = nullptr;

void Say(const std::string& line) {
    if (activeProgress) activeProgress->Clear();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", programName.c_str(), line.c_str());
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Match(const char* p, const char* t) {
    for (; *p; ++p, ++t) {
        if (*p == '*') {
            while (p[1] == '*') ++p;
            if (!p[1]) return true;
            for (; *t; ++t)
                if (Match(p + 1, t)) return true;
            return false;
        }
        if (!*t) return false;
        if (*p == '?') continue;
        if (*p == '[') {
            const char* q = p + 1;
            const bool negate = *q == '!' || *q == '^';
            if (negate) ++q;
            bool found = false;
            const char* start = q;
            for (; *q && (*q != ']' || q == start); ++q) {
                if (q[1] == '-' && q[2] && q[2] != ']') {
                    const char c = Lower(*t);
                    if (Lower(*q) <= c && c <= Lower(q[2])) found = true;
                    q += 2;
                } else if (Lower(*q) == Lower(*t)) {
                    found = true;
                }
            }
            if (*q == ']') {
                if (found == negate) return false;
                p = q;
                continue;
            }
            // No closing bracket: the "[" is an ordinary character.
        }
        if (Lower(*p) != Lower(*t)) return false;
    }
    return !*t;
}

std::string Generic(const fs::path& path) { return path.generic_string(); }

struct Walker {
    const std::vector<std::string>& excludes;
    std::vector<std::pair<fs::path, InputFile>> found;  // keyed by the relative path, for the order

    bool Readable(const fs::path& path) {
        platform::ClearLastError();
        const platform::FileHandle file =
            platform::OpenFile(path.string(), platform::FileAccess::Read, platform::FileShare::DenyNone);
        if (file == platform::InvalidFile) {
            Error(path.string() + ": cannot open" + SystemReason() + "; not stored");
            return false;
        }
        platform::CloseFile(file);
        return true;
    }

    void AddFile(const fs::path& path, const fs::path& relative, const std::string& prefix) {
        if (!Readable(path)) return;
        std::error_code ec;
        const uintmax_t size = fs::file_size(path, ec);
        const fs::path name = prefix.empty() ? relative : fs::path(prefix) / relative;
        found.push_back({name, InputFile{path, Generic(name), ec ? 0 : static_cast<uint64_t>(size)}});
    }

    // One directory entry below the root; `relative` is its path below the root.
    void Visit(const fs::path& path, const fs::path& relative, const std::string& prefix) {
        const std::string shown = path.string();
        const std::string name = Generic(prefix.empty() ? relative : fs::path(prefix) / relative);
        if (Excluded(excludes, name)) return;
        std::error_code ec;
        const fs::file_status own = fs::symlink_status(path, ec);
        if (ec) {
            Error(shown + ": " + ec.message() + "; not stored");
            return;
        }
        if (fs::is_symlink(own)) {
            const fs::file_status target = fs::status(path, ec);
            if (ec || !fs::exists(target)) {
                Warn(shown + ": broken link, not stored");
            } else if (fs::is_directory(target)) {
                Warn(shown + ": link to a directory, not stored (archives hold no links)");
            } else if (fs::is_regular_file(target)) {
                Warn(shown + ": link stored as the file it points to");
                AddFile(path, relative, prefix);
            } else {
                Warn(shown + ": link to a special file, not stored");
            }
            return;
        }
        if (fs::is_regular_file(own)) {
            AddFile(path, relative, prefix);
        } else if (fs::is_directory(own)) {
            Directory(path, relative, prefix);
        } else {
            Warn(shown + ": special file, not stored");
        }
    }

    void Directory(const fs::path& path, const fs::path& relative, const std::string& prefix) {
        std::error_code ec;
        fs::directory_iterator it(path, ec);
        if (ec) {
            Error(path.string() + ": cannot read the directory: " + ec.message());
            return;
        }
        // In name order, so that the messages come in the same order each time.
        std::vector<fs::path> children;
        for (const fs::directory_iterator end; it != end; it.increment(ec)) children.push_back(it->path());
        if (ec) Error(path.string() + ": cannot read the directory: " + ec.message());
        std::sort(children.begin(), children.end());
        for (const fs::path& child : children) Visit(child, relative / child.filename(), prefix);
        if (children.empty() && !ec) Warn(path.string() + ": empty directory, not stored (archives hold files only)");
    }
};

}  // namespace

void SetProgramName(std::string name) { programName = std::move(name); }

void Warn(const std::string& message) { Say("warning: " + message); }

void Error(const std::string& message) {
    ++errors;
    Say(message);
}

int ErrorCount() { return errors; }

std::string SystemReason() {
    const int code = platform::LastErrorCode();
    if (code == 0) return {};
    const std::string text = platform::ErrorText(code);
    return text.empty() ? std::string() : ": " + text;
}

std::optional<unsigned> ParseJobs(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 1024) return std::nullopt;
    return static_cast<unsigned>(value);
}

std::optional<uint32_t> SourceDateLimit() {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (!text || !*text) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long seconds = std::strtoll(text, &end, 10);
    if (*end != '\0' || errno != 0 || seconds < 0)
        throw std::runtime_error(std::string("SOURCE_DATE_EPOCH is not a number of seconds: ") + text);
    const std::time_t when = static_cast<std::time_t>(std::min<long long>(seconds, std::numeric_limits<int32_t>::max()));
    const std::tm* local = std::localtime(&when);
    if (!local || local->tm_year < 80) return (0u << 25) | (1u << 21) | (1u << 16);  // 1 January 1980
    const unsigned year = std::min(local->tm_year - 80, 127);
    const uint32_t date = (year << 9) | (static_cast<unsigned>(local->tm_mon + 1) << 5) |
                          static_cast<unsigned>(local->tm_mday);
    const uint32_t time = (static_cast<unsigned>(local->tm_hour) << 11) |
                          (static_cast<unsigned>(local->tm_min) << 5) | (static_cast<unsigned>(local->tm_sec) / 2);
    return (date << 16) | time;
}

bool HasWildcards(const std::string& pattern) { return pattern.find_first_of("*?[") != std::string::npos; }

bool WildcardMatch(const std::string& pattern, const std::string& text) {
    return Match(pattern.c_str(), text.c_str());
}

bool Excluded(const std::vector<std::string>& patterns, const std::string& name) {
    if (patterns.empty()) return false;
    std::vector<size_t> starts{0}, ends;
    for (size_t i = 0; i < name.size(); ++i)
        if (name[i] == '/') {
            ends.push_back(i);
            starts.push_back(i + 1);
        }
    ends.push_back(name.size());
    for (const std::string& pattern : patterns)
        for (size_t s : starts)
            for (size_t e : ends)
                if (e > s && WildcardMatch(pattern, name.substr(s, e - s))) return true;
    return false;
}

std::vector<InputFile> CollectTree(const fs::path& root, const std::string& prefix,
                                   const std::vector<std::string>& excludes) {
    Walker walker{excludes, {}};
    std::error_code ec;
    // A link named on the command line is followed, as bsdtar -H does: the
    // user asked for what it points to.
    const fs::file_status status = fs::status(root, ec);
    if (fs::is_directory(status)) {
        if (!Excluded(excludes, prefix)) walker.Directory(root, fs::path(), prefix);
    } else if (fs::is_regular_file(status)) {
        const fs::path name = prefix.empty() ? root.filename() : fs::path(prefix);
        if (!Excluded(excludes, Generic(name)) && walker.Readable(root)) {
            const uintmax_t size = fs::file_size(root, ec);
            walker.found.push_back({name, InputFile{root, Generic(name), ec ? 0 : static_cast<uint64_t>(size)}});
        }
    } else if (fs::is_symlink(fs::symlink_status(root, ec))) {
        Error(root.string() + ": broken link");
    } else if (!fs::exists(status)) {
        Error(root.string() + ": no such file or directory");
    } else {
        Error(root.string() + ": not a file or directory");
    }
    std::stable_sort(walker.found.begin(), walker.found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<InputFile> files;
    for (auto& entry : walker.found) files.push_back(std::move(entry.second));
    return files;
}

Progress::Progress(uint64_t total)
    : enabled_(platform::IsTerminal(platform::StandardFile(2))), total_(std::max<uint64_t>(total, 1)) {
    if (enabled_) activeProgress = this;
}

Progress::~Progress() {
    Clear();
    if (activeProgress == this) activeProgress = nullptr;
}

void Progress::Update(uint64_t done, const std::string& label) {
    if (!enabled_) return;
    const int permille = static_cast<int>(std::min<uint64_t>(done, total_) * 1000 / total_);
    if (permille == lastPermille_ && label == lastLabel_) return;
    lastPermille_ = permille;
    lastLabel_ = label;
    constexpr int Width = 30;
    const int filled = permille * Width / 1000;
    std::string shownLabel = label;
    if (shownLabel.size() > 38) shownLabel = "..." + shownLabel.substr(shownLabel.size() - 35);
    std::fprintf(stderr, "\r%3d%% [%s%s] %-38s", permille / 10, std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(Width - filled), ' ').c_str(), shownLabel.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Finish() {
    if (!enabled_ || lastPermille_ < 0) return;
    Update(total_, lastLabel_);
    Clear();
}

void Progress::Clear() {
    if (!enabled_ || !drawn_) return;
    std::fprintf(stderr, "\r%80s\r", "");
    std::fflush(stderr);
    drawn_ = false;
    lastPermille_ = -1;
}

std::string HumanSize(uint64_t bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024ull * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

}  // namespace toolkit
