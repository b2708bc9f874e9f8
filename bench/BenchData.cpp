#include "bench/BenchData.h"

#include <array>
#include <random>

namespace bench {

const char* KindName(DataKind kind) {
    switch (kind) {
        case DataKind::Text: return "text";
        case DataKind::Binary: return "binary";
        case DataKind::Random: return "random";
        case DataKind::Runs: return "runs";
    }
    return "?";
}

namespace {

// Words drawn with a skewed distribution, lines of 60-80 characters: close
// enough to read-me and settings files for a sliding-window coder.
Bytes Text(size_t size, std::mt19937& rng) {
    static const std::array<const char*, 32> words = {
        "the", "setup", "of", "and", "to", "installation", "files", "a", "directory", "is", "program",
        "in", "windows", "you", "wizard", "for", "copy", "disk", "will", "be", "temporary", "with",
        "restart", "your", "computer", "on", "readme", "language", "select", "please", "license", "data"};
    std::geometric_distribution<int> pick(0.15);
    Bytes out;
    out.reserve(size + 100);
    size_t lineStart = 0;
    while (out.size() < size) {
        const std::string word = words[static_cast<size_t>(pick(rng)) % words.size()];
        out.insert(out.end(), word.begin(), word.end());
        if (out.size() - lineStart > 60 + rng() % 20) {
            out.push_back('.');
            out.push_back('\r');
            out.push_back('\n');
            lineStart = out.size();
        } else {
            out.push_back(' ');
        }
    }
    out.resize(size);
    return out;
}

// Machine-code-like: a small set of opcode patterns, some followed by
// little-endian immediates and addresses that mostly stay near each other.
Bytes Binary(size_t size, std::mt19937& rng) {
    static const std::array<Bytes, 12> opcodes = {{{0x55},
                                                   {0x8B, 0xEC},
                                                   {0x83, 0xEC},
                                                   {0xE8},
                                                   {0x8B, 0x45},
                                                   {0x89, 0x45},
                                                   {0x50},
                                                   {0x6A, 0x00},
                                                   {0xFF, 0x15},
                                                   {0x85, 0xC0},
                                                   {0x74},
                                                   {0xC3}}};
    Bytes out;
    out.reserve(size + 16);
    uint32_t address = 0x00401000;
    while (out.size() < size) {
        const Bytes& op = opcodes[rng() % opcodes.size()];
        out.insert(out.end(), op.begin(), op.end());
        if (op[0] == 0xE8 || op[0] == 0xFF) {
            address += rng() % 512;
            for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(address >> (8 * k)));
        } else if (op.size() == 2 && op[1] >= 0x45) {
            out.push_back(static_cast<uint8_t>(0xF0 + rng() % 16));
        }
    }
    out.resize(size);
    return out;
}

Bytes Random(size_t size, std::mt19937& rng) {
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Runs of 1 to 300 equal bytes, as in bitmaps and zero-filled sections.
Bytes Runs(size_t size, std::mt19937& rng) {
    Bytes out;
    out.reserve(size + 300);
    while (out.size() < size) out.insert(out.end(), 1 + rng() % 300, static_cast<uint8_t>(rng() % 8 * 31));
    out.resize(size);
    return out;
}

}  // namespace

Bytes MakeData(DataKind kind, size_t size) {
    std::mt19937 rng(static_cast<uint32_t>(kind) * 7919u + 1998u);
    switch (kind) {
        case DataKind::Text: return Text(size, rng);
        case DataKind::Binary: return Binary(size, rng);
        case DataKind::Random: return Random(size, rng);
        case DataKind::Runs: return Runs(size, rng);
    }
    return {};
}

}  // namespace bench
