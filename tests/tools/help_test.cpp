// What quern, mksetup and inst32 say about themselves, kept honest against
// what they do: the options their parsers accept are the options --help and
// the manual page list, the exit codes and examples agree, the examples run,
// --version is the project's version, and the pages render without warnings.
// Everything runs the built programs as child processes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/LhaMember.h"
#include "tests/support/TestSupport.h"
#include "wizard/Wizard.h"

using testing_support::ReadFileText;
using testing_support::ShellQuote;
using testing_support::TempDir;
using testing_support::WriteFileText;

namespace {

using Names = std::set<std::string>;

struct ToolRun {
    int status;
    std::string out, err;
};

std::string Program(const std::string& relative) {
    return std::filesystem::absolute(testing_support::BinaryDir() + relative).string();
}

// Runs a shell command line inside `dir`; standard output and error captured.
ToolRun Shell(const TempDir& dir, const std::string& line) {
    const std::string command = "cd " + ShellQuote(dir.Path()) + " && { " + line + " ; } </dev/null >" +
                                ShellQuote(dir / ".out") + " 2>" + ShellQuote(dir / ".err");
    ToolRun r{testing_support::RunCommand(command), ReadFileText(dir / ".out"), ReadFileText(dir / ".err")};
    std::filesystem::remove(dir / ".out");
    std::filesystem::remove(dir / ".err");
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(' ') + 1 - first);
}

std::string Squeeze(const std::string& s) { return std::regex_replace(Trim(s), std::regex(" +"), " "); }

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// The options an entry of an option list names: "-C, --directory DIR   text"
// gives -C and --directory. The entry ends at the first gap of two blanks.
void AddOptionsOfEntry(const std::string& entry, Names& options) {
    const std::string names = entry.substr(0, entry.find("  "));
    for (size_t start = 0; start < names.size();) {
        size_t end = names.find(", ", start);
        if (end == std::string::npos) end = names.size();
        const std::string piece = names.substr(start, end - start);
        const std::string word = piece.substr(0, piece.find(' '));
        if (StartsWith(word, "-")) options.insert(word);
        start = end + 2;
    }
}

// The lines of a --help section that starts with `heading` and ends at a blank line.
std::vector<std::string> HelpSection(const std::string& help, const std::string& heading) {
    std::vector<std::string> section;
    bool in = false;
    for (const std::string& line : Lines(help)) {
        if (in && line.empty()) break;
        if (in) section.push_back(line);
        if (StartsWith(line, heading)) in = true;
    }
    return section;
}

// The lines of a rendered manual page's section (headings stand at column 0).
std::vector<std::string> ManSection(const std::string& page, const std::string& heading) {
    std::vector<std::string> section;
    bool in = false;
    for (const std::string& line : Lines(page)) {
        if (!line.empty() && line[0] != ' ') {
            in = line == heading;
            continue;
        }
        if (in) section.push_back(line);
    }
    return section;
}

Names HelpOptions(const std::string& help) {
    Names options;
    for (const std::string& line : Lines(help))
        if (StartsWith(line, "  -")) AddOptionsOfEntry(line.substr(2), options);
    return options;
}

// Entries of the page's OPTIONS list are tagged at the page's indent of 7.
Names ManOptions(const std::string& page) {
    Names options;
    for (const std::string& line : ManSection(page, "OPTIONS"))
        if (StartsWith(line, "       -")) AddOptionsOfEntry(line.substr(7), options);
    return options;
}

Names HelpExitCodes(const std::string& help) {
    Names codes;
    for (const std::string& line : HelpSection(help, "Exit status:"))
        if (std::smatch m; std::regex_match(line, m, std::regex("  ([0-9]+)  .*"))) codes.insert(m[1]);
    return codes;
}

Names ManExitCodes(const std::string& page) {
    Names codes;
    for (const std::string& line : ManSection(page, "EXIT STATUS"))
        if (std::smatch m; std::regex_match(line, m, std::regex(" {7}([0-9]+) .*"))) codes.insert(m[1]);
    return codes;
}

// Command lines of the examples, blanks squeezed, a trailing "\" joining the
// next line. In --help a line that starts with the program is a command,
// its text after a gap of two blanks a comment; on the page every indented
// line of a display that starts with the program is one.
std::vector<std::string> Examples(const std::vector<std::string>& lines, const std::string& program, bool help) {
    std::vector<std::string> commands;
    bool continued = false;
    for (const std::string& raw : lines) {
        std::string line = Trim(raw);
        if (!continued && !StartsWith(line, program + " ")) continue;
        if (help && !continued) line = line.substr(0, line.find("  "));
        const bool continues = !line.empty() && line.back() == '\\';
        if (continues) line.pop_back();
        if (continued) commands.back() += " " + line;
        else commands.push_back(line);
        continued = continues;
    }
    for (std::string& c : commands) c = Squeeze(c);
    return commands;
}

// The page as a terminal shows it, in plain ASCII.
std::string Rendered(const TempDir& dir, const std::string& page) {
    const ToolRun r = Shell(dir, "groff -man -Tascii -P-c -P-b -P-o -P-u -rLL=78n " + ShellQuote(page));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

bool HaveGroff() {
    if (testing_support::HaveTool("groff")) return true;
    // CI installs it; elsewhere the pages' checks are left out, and said so.
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") ADD_FAILURE() << "groff is missing (Debian: groff-base)";
    return false;
}

struct Tool {
    const char* name;
    const char* program;  // below the build directory
    const char* probe;    // arguments an option is appended to, so that the parser reaches it
};
const Tool Tools[] = {
    {"quern", "tools/quern", "x"},
    {"mksetup", "tools/mksetup", ""},
};

std::string ManPage(const Tool& tool) { return testing_support::BinaryDir() + "man/" + tool.name + ".1"; }

// Every option the program's parser takes, found by asking it: the
// candidates are every short option letter and every long option named in
// the program's source or the tools' shared support, and the parser calls
// the others "unknown option".
Names AcceptedOptions(const TempDir& dir, const Tool& tool, const Names& alsoTry) {
    Names candidates = alsoTry;
    for (char c = 'a'; c <= 'z'; ++c) {
        candidates.insert(std::string("-") + c);
        candidates.insert(std::string("-") + static_cast<char>(c - 'a' + 'A'));
    }
    const std::filesystem::path tools = std::filesystem::path(QUERN_SOURCE_DIR) / "tools";
    std::vector<std::filesystem::path> sources{tools / (std::string(tool.name) + ".cpp")};
    for (const auto& entry : std::filesystem::directory_iterator(tools / "support")) sources.push_back(entry.path());
    const std::regex longOption("--[a-z][a-z0-9-]*");
    for (const auto& path : sources) {
        const std::string source = ReadFileText(path.string());
        for (auto it = std::sregex_iterator(source.begin(), source.end(), longOption); it != std::sregex_iterator(); ++it)
            candidates.insert(it->str());
    }

    Names accepted;
    for (const std::string& option : candidates) {
        const ToolRun r = Shell(dir, ShellQuote(Program(tool.program)) + " " + tool.probe + " " + ShellQuote(option));
        if (r.err.find("unknown option") == std::string::npos) accepted.insert(option);
    }
    return accepted;
}

TEST(ToolHelp, OptionsOfParserHelpAndManualPageAreTheSame) {
    const bool groff = HaveGroff();
    for (const Tool& tool : Tools) {
        SCOPED_TRACE(tool.name);
        TempDir dir;
        // The probe's premise: an option the parser does not know is named so.
        const ToolRun bogus = Shell(dir, ShellQuote(Program(tool.program)) + " " + tool.probe + " --no-such-option");
        EXPECT_EQ(bogus.status, 2);
        EXPECT_NE(bogus.err.find("unknown option --no-such-option"), std::string::npos) << bogus.err;

        const ToolRun help = Shell(dir, ShellQuote(Program(tool.program)) + " --help");
        ASSERT_EQ(help.status, 0) << help.err;
        EXPECT_EQ(help.err, "");
        const Names helpOptions = HelpOptions(help.out);
        Names manOptions;
        if (groff) manOptions = ManOptions(Rendered(dir, ManPage(tool)));
        Names tryAlso = helpOptions;
        tryAlso.insert(manOptions.begin(), manOptions.end());
        const Names accepted = AcceptedOptions(dir, tool, tryAlso);
        EXPECT_GT(accepted.size(), 4u);
        EXPECT_EQ(helpOptions, accepted) << "--help and the parser disagree";
        if (groff) {
            EXPECT_EQ(manOptions, accepted) << "the manual page and the parser disagree";
        }
    }
}

TEST(ToolHelp, ExitCodesAndExamplesOfHelpAndManualPageAgree) {
    if (!HaveGroff()) GTEST_SKIP() << "no groff";
    for (const Tool& tool : Tools) {
        SCOPED_TRACE(tool.name);
        TempDir dir;
        const ToolRun help = Shell(dir, ShellQuote(Program(tool.program)) + " --help");
        const std::string page = Rendered(dir, ManPage(tool));
        const Names helpCodes = HelpExitCodes(help.out);
        EXPECT_EQ(helpCodes, (Names{"0", "1", "2"}));
        EXPECT_EQ(ManExitCodes(page), helpCodes);

        const auto helpExamples = Examples(HelpSection(help.out, "Examples:"), tool.name, true);
        EXPECT_GE(helpExamples.size(), 2u);
        EXPECT_EQ(Examples(ManSection(page, "EXAMPLES"), tool.name, false), helpExamples);
    }
}

// Where mksetup looks for the stub and the reference wizard.
TEST(ToolHelp, FilesOfHelpAndManualPageAgree) {
    if (!HaveGroff()) GTEST_SKIP() << "no groff";
    TempDir dir;
    const Tool& mksetup = Tools[1];
    const ToolRun help = Shell(dir, ShellQuote(Program(mksetup.program)) + " --help");
    const std::regex path("\\.\\.?/[A-Za-z0-9_./-]*[A-Za-z0-9_]");
    const auto paths = [&](const std::vector<std::string>& lines) {
        Names found;
        for (const std::string& line : lines)
            for (auto it = std::sregex_iterator(line.begin(), line.end(), path); it != std::sregex_iterator(); ++it)
                found.insert(it->str());
        return found;
    };
    const Names helpFiles = paths(HelpSection(help.out, "Files"));
    EXPECT_EQ(helpFiles, (Names{"./setup", "../setup/setup", "../share/quern/stubs/setup", "./inst32",
                                "../wizard/inst32"}));
    EXPECT_EQ(paths(ManSection(Rendered(dir, ManPage(mksetup)), "FILES")), helpFiles);
}

TEST(ToolHelp, ManualPagesRenderWithoutWarnings) {
    if (!HaveGroff()) GTEST_SKIP() << "no groff";
    for (const Tool& tool : Tools) {
        SCOPED_TRACE(tool.name);
        TempDir dir;
        const ToolRun r = Shell(dir, "groff -man -ww -z " + ShellQuote(ManPage(tool)));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        // The page carries the version it was configured with.
        EXPECT_NE(Rendered(dir, ManPage(tool)).find(std::string("quern ") + QUERN_VERSION), std::string::npos);
    }
}

TEST(ToolHelp, VersionIsTheProjectVersion) {
    TempDir dir;
    const struct {
        const char* name;
        const char* program;
    } programs[] = {{"quern", "tools/quern"}, {"mksetup", "tools/mksetup"}, {"inst32", "wizard/inst32"}};
    for (const auto& p : programs) {
        const ToolRun r = Shell(dir, ShellQuote(Program(p.program)) + " --version");
        EXPECT_EQ(r.status, 0) << p.name;
        EXPECT_EQ(r.out, std::string(p.name) + " " + QUERN_VERSION + "\n");
        EXPECT_EQ(r.err, "");
    }
}

// inst32 is started by the setup, but a person who finds it and asks gets
// its usage and every exit code the wizard has.
TEST(ToolHelp, WizardHelpStatesEveryExitCode) {
    TempDir dir;
    const ToolRun r = Shell(dir, ShellQuote(Program("wizard/inst32")) + " --help");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(StartsWith(r.out, "usage: inst32 HAND-OFF-FILE\n")) << r.out;
    Names codes;
    for (int code : {quern::weSuccess, quern::weInternal, quern::weBadSettings, quern::weBadLocation,
                     quern::weBadPayload, quern::weUnsafeName, quern::weWriteFailed})
        codes.insert(std::to_string(code));
    EXPECT_EQ(HelpExitCodes(r.out), codes);
}

// The examples of --help (and so of the page) work as written: quern's on a
// small tree, mksetup's Linux one with a wizard directory and a payload (the
// other needs a Windows build's stub).
TEST(ToolHelp, ExamplesRun) {
    TempDir dir;
    std::filesystem::create_directories(dir / "docs/sub");
    WriteFileText(dir / "docs/a.txt", "alpha\n");
    WriteFileText(dir / "docs/sub/b.txt", "beta\n");
    std::filesystem::create_directories(dir / "wizard");
    std::filesystem::create_directories(dir / "payload");
    WriteFileText(dir / "wizard/install.ini",
                  "[General Settings]\nProduct Name=Example\nInstall Directory=" + dir / "installed" + "\n");
    WriteFileText(dir / "payload/readme", "payload\n");
    // A stand-in wizard: the reference one, coded under the sanitizers, takes long.
    WriteFileText(dir / "wizard/inst32.exe", "#!/bin/sh\n");

    for (const Tool& tool : Tools) {
        const ToolRun help = Shell(dir, ShellQuote(Program(tool.program)) + " --help");
        for (const std::string& example : Examples(HelpSection(help.out, "Examples:"), tool.name, true)) {
            if (example.find("--stub") != std::string::npos) continue;
            // The program's name stands for the built program wherever it is a command.
            const std::string line = std::regex_replace(example, std::regex(std::string("(^|\\| )") + tool.name + " "),
                                                        "$1" + ShellQuote(Program(tool.program)) + " ");
            const ToolRun r = Shell(dir, line);
            EXPECT_EQ(r.status, 0) << example << "\n" << r.err;
        }
    }
    EXPECT_EQ(ReadFileText(dir / "out/docs/sub/b.txt"), "beta\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "setup"));
}

}  // namespace
