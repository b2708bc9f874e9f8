// Shared helpers for the tests: a private temporary directory per test and
// whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/BuiltPrograms.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// A fresh directory, removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The directory with a trailing separator.
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);
Bytes FromHex(const std::string& hex);
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
// The archive format's checksum: the byte sum, wrapping at 32 bits.
uint32_t ByteSum(const Bytes& bytes);
// A path or word quoted for the platform's command shell.
std::string ShellQuote(const std::string& text);  // "41 42 0a" -> {0x41, 0x42, 0x0A}
std::string ToHex(const Bytes& bytes);
// Deterministic pseudo-random bytes.
Bytes RandomBytes(size_t count, uint32_t seed);
// Names of the entries directly inside a directory, sorted.
std::vector<std::string> ListDirectory(const std::string& path);
// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// The variable the platform's temporary path comes from (TMP on Windows).
#ifdef _WIN32
inline const char* const TempPathVariable = "TMP";
#else
inline const char* const TempPathVariable = "TMPDIR";
#endif

// Directory of the built programs (QUERN_BIN_DIR set by CTest), with a trailing separator.
std::string BinaryDir();

}  // namespace testing_support
