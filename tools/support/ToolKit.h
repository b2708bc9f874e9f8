// What quern and mksetup share: messages, SOURCE_DATE_EPOCH, name patterns,
// the walk over input trees and the progress line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace toolkit {

// Messages on standard error, prefixed with the program's name: one line per
// failure. Warnings do not change the exit status; errors are counted.
void SetProgramName(std::string name);
void Warn(const std::string& message);
void Error(const std::string& message);
int ErrorCount();
// The system's reason for the last failed call, ": reason", or "" when it
// gave none.
std::string SystemReason();

// The latest file date an archive may store, as a packed local date and time,
// from SOURCE_DATE_EPOCH (seconds since 1970, UTC) when it is set; a value
// that is not a number fails loudly rather than being ignored.
std::optional<uint32_t> SourceDateLimit();

// The value of -j / --jobs: entries coded at once, 1 to 1024; none for
// anything else.
std::optional<unsigned> ParseJobs(const std::string& text);

// Shell-style wildcards: "*" any run of characters (separators included, as
// in tar), "?" one character, "[abc]", "[a-z]", "[!x]" one of a set. ASCII
// letters match either case, as stored names are compared.
bool HasWildcards(const std::string& pattern);
bool WildcardMatch(const std::string& pattern, const std::string& text);
// True when a pattern matches the name ("/"-separated) or any run of whole
// components in it: "*.o", "build" and "src/gen" all exclude "src/gen/x.o".
bool Excluded(const std::vector<std::string>& patterns, const std::string& name);

// One regular file of an input tree and the name it is stored under.
struct InputFile {
    std::filesystem::path path;
    std::string name;  // relative, with "/" between components
    uint64_t size = 0;
};

// Collects the regular files of `root` (a file or a directory) in name order,
// stored below `prefix` ("" for none). As tar does: a link to a file is taken
// as the file under the link's own name, with a warning; links to directories,
// broken links and special files are reported and skipped; an empty directory
// is reported, since an archive holds files only; an unreadable directory or
// file is an error and the walk goes on. Paths matching `excludes` are left
// out silently.
std::vector<InputFile> CollectTree(const std::filesystem::path& root, const std::string& prefix,
                                   const std::vector<std::string>& excludes);

// A one-line progress bar on standard error, drawn only when standard error
// is a terminal and only when it would change.
class Progress {
public:
    explicit Progress(uint64_t total);
    ~Progress();
    bool Shown() const { return enabled_; }
    void Update(uint64_t done, const std::string& label);
    // Removes the bar, so that a message can be printed on a clean line.
    void Clear();
    // Shows the bar full for the last entry, then removes it.
    void Finish();

private:
    bool enabled_;
    uint64_t total_;
    int lastPermille_ = -1;
    std::string lastLabel_;
    bool drawn_ = false;
};

// "1.5 MB" style sizes for summaries.
std::string HumanSize(uint64_t bytes);

}  // namespace toolkit
