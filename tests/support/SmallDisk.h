// A small file system of its own (a tmpfs mounted inside a private temporary
// directory), for what a full disk does. Mounting needs root on Linux;
// elsewhere Mounted() is false and the test says it was skipped.
#pragma once

#include <string>

#include "tests/support/LhaMember.h"  // RunCommand
#include "tests/support/TestSupport.h"

namespace testing_support {

class SmallDisk {
public:
    explicit SmallDisk(int kilobytes) {
#ifndef _WIN32
        mounted_ = RunCommand("mount -t tmpfs -o size=" + std::to_string(kilobytes) + "k tmpfs " +
                              ShellQuote(root_.Path()) + " 2>/dev/null") == 0;
#else
        (void)kilobytes;
#endif
    }
    ~SmallDisk() {
        if (mounted_) RunCommand("umount " + ShellQuote(root_.Path()));
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Mounted() const { return mounted_; }
    // The mounted directory with a trailing separator.
    const std::string& Path() const { return root_.Path(); }
    std::string operator/(const std::string& name) const { return root_ / name; }

private:
    TempDir root_;
    bool mounted_ = false;
};

}  // namespace testing_support
