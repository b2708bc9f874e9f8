// Inputs for the tests that hold a compressor's match finder to a plain one:
// small alphabets, repeated units and near copies stress ties between
// equally long matches and full-length matches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace match_inputs {

using Bytes = std::vector<uint8_t>;

// Deterministic pseudo-random letters from a small alphabet.
inline Bytes Letters(size_t size, int alphabet, uint32_t seed) {
    Bytes out(size);
    for (auto& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>('a' + (seed >> 16) % alphabet);
    }
    return out;
}

// Copies of a few phrases with small changes: many equally long matches.
inline Bytes EditedCopies(size_t size, uint32_t seed) {
    const std::string phrases[] = {"install the files into the folder ", "installed the file in the folder ",
                                   "uninstall the files from folder ", "                "};
    Bytes out;
    while (out.size() < size) {
        seed = seed * 1103515245u + 12345u;
        std::string p = phrases[(seed >> 16) % 4];
        if ((seed >> 20) % 3 == 0) p[(seed >> 8) % p.size()] = 'X';
        out.insert(out.end(), p.begin(), p.end());
    }
    out.resize(size);
    return out;
}

inline Bytes Repeat(const Bytes& unit, size_t size) {
    Bytes out;
    while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
    out.resize(size);
    return out;
}

}  // namespace match_inputs
