// Constants of the -lh5- stream format, shared by the decoder and the encoder.
// None of them is stored in a stream; both sides must agree on all of them.
//
// A stream is a sequence of blocks, no header before the first and no end
// marker (the reader stops by the entry's size). Bits are read most
// significant first. One block:
//
//   16 bits              item count (0 means 65536)
//   length-code lengths  19 symbols, count in 5 bits, zero-run escape after index 3
//   main lengths         510 symbols, count in 9 bits, coded with the length code
//   position lengths     14 symbols, count in 4 bits, no escape
//   items                main symbol; a match symbol is followed by its position
//
// A count of 0 in any of the three length lists means a single symbol with a
// zero-bit code: its number follows in a field of the count's width.
#pragma once

#include <cstdint>

namespace quern {

namespace lh5 {

constexpr int WindowBits = 13;
constexpr int32_t WindowSize = 1 << WindowBits;  // 8192
constexpr int32_t WindowMask = WindowSize - 1;
constexpr uint8_t WindowFill = 0x20;  // the window starts as spaces

constexpr int MinMatch = 3;
constexpr int MaxMatch = 256;
constexpr int LiteralCount = 256;
// 0..255 literal bytes, 256..509 matches of length symbol - (256 - MinMatch).
constexpr int MainAlphabet = LiteralCount + MaxMatch - MinMatch + 1;  // 510
constexpr int MatchSymbolOffset = LiteralCount - MinMatch;           // 253

// A position slot is the bit length of distance - 1 (0..13); slot s >= 1 is
// followed by the s - 1 bits below its implied leading 1-bit.
constexpr int PositionAlphabet = WindowBits + 1;  // 14
// Codes the main alphabet's lengths: 0 one zero, 1 and 2 zero runs, 3..18 lengths 1..16.
constexpr int LengthCodeAlphabet = 19;

constexpr int MaxCodeLength = 16;
constexpr int BlockCountBits = 16;
constexpr int MainCountBits = 9;
constexpr int LengthCodeCountBits = 5;
constexpr int LengthCodeSpecialIndex = 3;  // after this many lengths: 2 bits of extra zeros
constexpr int PositionCountBits = 4;

// Length-code symbols 1 and 2: a run of zeros, base + the following bits.
constexpr int ShortZeroRunBits = 4;
constexpr int ShortZeroRunBase = 3;  // 3..18
constexpr int LongZeroRunBits = 9;
constexpr int LongZeroRunBase = 20;  // 20..531

// Small-alphabet lengths: 0..6 in 3 bits; L >= 7 as L - 4 one-bits and a 0-bit.
constexpr int SmallLengthBits = 3;
constexpr int SmallLengthEscape = 7;

}  // namespace lh5

}  // namespace quern
