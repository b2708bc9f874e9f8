#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include <quern/Platform.h>

using namespace quern;

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
    path_ = platform::CreatePrivateDirectory(platform::TempPath(), "quern-test-");
    if (path_.empty()) throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Read-only files left by a test must not keep the directory alive.
    for (auto& entry : fs::recursive_directory_iterator(path_, ignored))
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFileText(const std::string& path) {
    const Bytes b = ReadFileBytes(path);
    return std::string(b.begin(), b.end());
}

void WriteFileText(const std::string& path, const std::string& text) {
    WriteFileBytes(path, Bytes(text.begin(), text.end()));
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    std::string digits;
    for (char c : hex)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

uint32_t ByteSum(const Bytes& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return sum;
}

std::string ShellQuote(const std::string& text) {
#ifdef _WIN32
    return "\"" + text + "\"";
#else
    return "'" + text + "'";
#endif
}

std::string ToHex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

Bytes RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& b : out) b = static_cast<uint8_t>(random());
    return out;
}

std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
void SetEnv(const std::string& name, const std::string* value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
#endif
}
}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        had_ = true;
        old_ = old;
    }
    SetEnv(name_, &value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, had_ ? &old_ : nullptr); }

std::string BinaryDir() {
    const char* dir = std::getenv("QUERN_BIN_DIR");
    std::string path = dir ? dir : ".";
    if (path.back() != '/' && path.back() != '\\') path += platform::PathDelim;
    return path;
}

}  // namespace testing_support
