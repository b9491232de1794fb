// The counts of the raw deflate format that the walk reads: block types,
// alphabets, header fields and code lengths. Pure C++.
#pragma once

#include <array>

namespace nivra::deflate {

// Block types, the two bits after a block's final bit.
constexpr unsigned kBlockTypeBits = 2;
constexpr unsigned kStoredBlock = 0, kFixedBlock = 1, kDynamicBlock = 2;

// A stored block's header, after its bits are aligned: its length, then
// the length's complement, 16 bits each.
constexpr unsigned kStoredLengthBits = 16;
constexpr unsigned kStoredLengthMask = 0xffff;

// Literal/length symbols: literals, the end-of-block code, then lengths.
constexpr unsigned kNumLiterals = 256;
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kFirstLengthSym = 257;
constexpr unsigned kNumLitLenSyms = 288;    // the most a block may declare (two never occur)
constexpr unsigned kNumDistanceSyms = 32;   // likewise
constexpr unsigned kNumUsedDistanceSyms = 30;

// The extra bits after each length symbol (from kFirstLengthSym) and each
// distance symbol.
constexpr std::array<unsigned char, 29> kLengthExtraBits{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<unsigned char, kNumUsedDistanceSyms> kDistanceExtraBits{
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr unsigned kMaxExtraLengthBits = 5;
constexpr unsigned kMaxExtraDistanceBits = 13;

constexpr unsigned kMaxCodewordLen = 15;
constexpr unsigned kMaxCodeLengthCodewordLen = 7;  // 3-bit lengths

// A dynamic block's header: how many literal/length, distance and
// code-length codes it declares (each count less its least), then the
// code-length code's lengths in kCodeLengthOrder, then the code lengths
// of both alphabets coded by it.
constexpr unsigned kLitLenCountBits = 5, kLeastLitLenCodes = 257;
constexpr unsigned kDistanceCountBits = 5, kLeastDistanceCodes = 1;
constexpr unsigned kCodeLengthCountBits = 4, kLeastCodeLengthCodes = 4;
constexpr unsigned kCodeLengthBits = 3;
constexpr unsigned kNumCodeLengthSyms = 19;
constexpr std::array<unsigned char, kNumCodeLengthSyms> kCodeLengthOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// Code-length symbols past the lengths 0 to 15: repeats, each with its
// extra bits and least count.
constexpr unsigned kRepeatPrevious = 16, kRepeatPreviousBits = 2, kRepeatPreviousLeast = 3;
constexpr unsigned kRepeatZero = 17, kRepeatZeroBits = 3, kRepeatZeroLeast = 3;
constexpr unsigned kRepeatZeroLong = 18, kRepeatZeroLongBits = 7, kRepeatZeroLongLeast = 11;

// A fixed block's code lengths: literal/length symbols in four runs, and
// every distance symbol five bits.
constexpr unsigned kFixedLitLenRunEnds[] = {144, 256, 280, kNumLitLenSyms};
constexpr unsigned char kFixedLitLenRunLengths[] = {8, 9, 7, 8};
constexpr unsigned char kFixedDistanceLength = 5;
constexpr unsigned kFixedEndOfBlockLength = 7;  // its code: seven zero bits

}  // namespace nivra::deflate
