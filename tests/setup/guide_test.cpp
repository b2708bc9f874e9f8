// The README's guide "Make your own setup", followed to the letter: its
// step-by-step block is read from the README and run by a real shell in a
// scratch directory that holds the demo and the built programs where the
// guide expects them.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/LhaMember.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

#ifndef _WIN32

TEST(ReadmeGuide, TheStepsMakeAWorkingSetupOfOurOwn) {
    const std::string source = QUERN_SOURCE_DIR;
    const std::string readme = ReadFileText(source + "/README.md");
    const size_t marker = readme.find("<!-- guide-steps -->");
    ASSERT_NE(marker, std::string::npos) << "the README lost its guide";
    const size_t begin = readme.find("```sh\n", marker);
    ASSERT_NE(begin, std::string::npos);
    const size_t end = readme.find("\n```", begin + 6);
    ASSERT_NE(end, std::string::npos);
    const std::string steps = readme.substr(begin + 6, end - begin - 6);

    TempDir dir;
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "tmp");
    fs::create_directories(dir / "top/build");
    fs::copy(source + "/demo", dir / "top/demo", fs::copy_options::recursive);
    fs::create_directory_symlink(fs::absolute(BinaryDir()), dir / "top/build/native");
    WriteFileText(dir / "steps.sh", "set -e\n" + steps + "\n");

    const int status = RunCommand("cd " + ShellQuote(dir / "top") + " && HOME=" + ShellQuote(dir / "home") +
                                  " TMPDIR=" + ShellQuote(dir / "tmp") + " bash " + ShellQuote(dir / "steps.sh") +
                                  " >" + ShellQuote(dir / "out") + " 2>" + ShellQuote(dir / "err"));
    const std::string out = ReadFileText(dir / "out");
    ASSERT_EQ(status, 0) << out << ReadFileText(dir / "err");
    EXPECT_NE(out.find("Hello from my product\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Thank you for installing Quillset Notes"), std::string::npos) << out;  // the read-me
    EXPECT_EQ(ReadFileText(dir / "home/my-product/docs/manual.txt"), "How to use my product.\n");
    EXPECT_TRUE(ListDirectory(dir / "tmp").empty());
}

#endif
