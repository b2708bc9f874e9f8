// A small file system of its own (a tmpfs mounted inside a private temporary
// directory), for what a full disk does. Mounting needs root on Linux;
// elsewhere Mounted() is false and the test says it was skipped.
#pragma once

#include <string>

#include "tests/support/LhaMember.h"
#include "tests/support/TestSupport.h"

namespace archive_fixture {

class SmallDisk {
public:
    explicit SmallDisk(int kilobytes) {
#ifndef _WIN32
        mounted_ = testing_support::RunCommand("mount -t tmpfs -o size=" + std::to_string(kilobytes) + "k tmpfs " +
                                               testing_support::ShellQuote(root_.Path()) + " 2>/dev/null") == 0;
#else
        (void)kilobytes;
#endif
    }
    ~SmallDisk() {
        if (mounted_) testing_support::RunCommand("umount " + testing_support::ShellQuote(root_.Path()));
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Mounted() const { return mounted_; }
    // The mounted directory with a trailing separator.
    const std::string& Path() const { return root_.Path(); }
    std::string operator/(const std::string& name) const { return root_ / name; }

private:
    testing_support::TempDir root_;
    bool mounted_ = false;
};

}  // namespace archive_fixture
