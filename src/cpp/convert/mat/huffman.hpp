// The Huffman codes of deflate blocks as look-up tables for a walk that
// counts bits and decodes no output, and the codes of fixed and dynamic
// blocks. Pure C++.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

#include "convert/mat/bit_reader.hpp"
#include "convert/mat/deflate_constants.hpp"

namespace nivra::deflate {

// A table entry, 32 bits:
//
//   bits  0-7   bits   a code: the bits it takes with the extra bits after
//                      it (0: no code here, an incomplete code's gap);
//                      a link: its subtable's index bits
//   bits  8-15  flags  kLink, kMatch, kEnd, kInvalid; none for a literal
//   bits 16-31  value  a code-length code: its symbol; a literal/length or
//                      distance code: the code's own length, all a walk
//                      needs of it; a link: its subtable's offset
//
// A packed entry (below) has bits and flags only.
class Entry {
 public:
  static constexpr unsigned kLink = 1;     // the code is longer than the primary bits: look on in a subtable
  static constexpr unsigned kMatch = 2;    // a length, whose distance code follows
  static constexpr unsigned kEnd = 4;      // the end-of-block code
  static constexpr unsigned kInvalid = 8;  // a packed entry of no code

  Entry() = default;
  static constexpr Entry code(unsigned value, unsigned flags, unsigned bits) {
    return Entry(value << kValueShift | flags << kFlagsShift | bits);
  }
  static constexpr Entry link(std::size_t offset, unsigned index_bits) {
    return code(static_cast<unsigned>(offset), kLink, index_bits);
  }

  constexpr bool empty() const { return raw_ == 0; }
  constexpr unsigned bits() const { return raw_ & kFieldMask; }
  constexpr unsigned flags() const { return raw_ >> kFlagsShift & kFieldMask; }
  constexpr bool has(unsigned flag) const { return (flags() & flag) != 0; }
  constexpr unsigned symbol() const { return raw_ >> kValueShift; }
  constexpr unsigned code_length() const { return raw_ >> kValueShift; }
  constexpr unsigned subtable() const { return raw_ >> kValueShift; }
  constexpr unsigned index_bits() const { return bits(); }

 private:
  static constexpr unsigned kFlagsShift = 8, kValueShift = 16, kFieldMask = 0xff;
  constexpr explicit Entry(std::uint32_t raw) : raw_(raw) {}

  std::uint32_t raw_;
};

enum class Alphabet { kCodeLengths, kLiterals, kDistances };

// The primary table's index bits at most; those of a packed table whatever
// its longest code. Wider tables cost more to build than they save.
constexpr unsigned kPrimaryBits = 10;

// The most entries a table of `symbols` codes of `longest` bits at most
// takes: a primary table, and for longer codes one subtable of
// 2**(longest - kPrimaryBits) entries for each primary index that such
// codes start with; as each of those starts at least one code, no more
// subtables than codes. (Packed tables are literal/length tables, whose
// codes may reach kMaxCodewordLen: their primary table is counted whole.)
constexpr std::size_t table_bound(unsigned symbols, unsigned longest) {
  if (longest <= kPrimaryBits) return std::size_t(1) << longest;
  return (std::size_t(1) << kPrimaryBits) + (std::size_t(symbols) << (longest - kPrimaryBits));
}
constexpr std::size_t kLiteralTableSize = table_bound(kNumLitLenSyms, kMaxCodewordLen);
constexpr std::size_t kDistanceTableSize = table_bound(kNumDistanceSyms, kMaxCodewordLen);
constexpr std::size_t kCodeLengthTableSize = table_bound(kNumCodeLengthSyms, kMaxCodeLengthCodewordLen);

// A canonical Huffman code decoded by table look-up: a primary table on
// the next few stream bits, and for longer codes a subtable on the bits
// after those.
//
// Packed with its distance code, a literal/length table serves a walk that
// only counts bits: a primary entry stands for every code whose bits lie
// whole in the primary bits (a length's distance included), up to an
// end-of-block code or a length whose distance does not. Its bits count
// them all with their extra bits, so at most the primary bits and a
// distance's kMaxExtraDistanceBits; its flags are those of the last code,
// a match whose distance is counted being done (no flags). One with no
// code is kInvalid.
template <std::size_t kCapacity>
class Huffman {
  static_assert(kCapacity <= (std::size_t(1) << 16), "a link's offset fits its entry's value");

 public:
  // Builds the table of `count` code lengths (kMaxCodewordLen at most),
  // packed with `packed_with` when given.
  void build(const unsigned char* lengths, unsigned count, Alphabet alphabet,
             const Huffman<kDistanceTableSize>* packed_with = nullptr) {
    const bool packed = packed_with != nullptr;
    std::array<unsigned, kMaxCodewordLen + 1> per_length{};
    unsigned longest = 0;
    for (unsigned s = 0; s < count; ++s) {
      ++per_length[lengths[s]];
      longest = std::max<unsigned>(longest, lengths[s]);
    }
    per_length[0] = 0;
    int left = 1;
    for (unsigned length = 1; length <= kMaxCodewordLen; ++length) {
      left = 2 * left - static_cast<int>(per_length[length]);
      if (left < 0) throw Malformed("over-subscribed Huffman code");
    }
    std::array<unsigned, kMaxCodewordLen + 1> next{};
    for (unsigned length = 1, code = 0; length <= kMaxCodewordLen; ++length) {
      code = (code + per_length[length - 1]) << 1;
      next[length] = code;
    }
    // A packed table is as wide as its primary bits whatever the longest
    // code, so that short codes pack several to an entry.
    primary_bits_ = packed ? kPrimaryBits : std::min(longest, kPrimaryBits);
    const unsigned sub_bits = longest > primary_bits_ ? longest - primary_bits_ : 0;
    const std::size_t primary_size = std::size_t(1) << primary_bits_;
    std::fill(table_.begin(), table_.begin() + primary_size, Entry());  // empty: no code (an incomplete set)
    std::size_t used = primary_size;
    for (unsigned s = 0; s < count; ++s) {
      const unsigned length = lengths[s];
      if (length == 0) continue;
      unsigned code = next[length]++, reversed = 0;
      for (unsigned i = 0; i < length; ++i, code >>= 1) reversed = (reversed << 1) | (code & 1);
      const Entry entry = entry_of(s, length, alphabet);
      if (length <= primary_bits_) {
        for (std::size_t i = reversed; i < primary_size; i += std::size_t(1) << length) table_[i] = entry;
        continue;
      }
      const std::size_t at = reversed & (primary_size - 1);
      if (table_[at].empty()) {
        const std::size_t sub_size = std::size_t(1) << sub_bits;
        if (used + sub_size > kCapacity) throw Malformed("Huffman table beyond its bound");  // see table_bound
        table_[at] = Entry::link(used, sub_bits);
        std::fill(table_.begin() + static_cast<std::ptrdiff_t>(used),
                  table_.begin() + static_cast<std::ptrdiff_t>(used + sub_size), Entry());
        used += sub_size;
      }
      const std::size_t offset = table_[at].subtable();
      for (std::size_t i = reversed >> primary_bits_; i < (std::size_t(1) << sub_bits);
           i += std::size_t(1) << (length - primary_bits_)) {
        table_[offset + i] = entry;
      }
    }
    if (packed) pack(*packed_with);
  }
  // The entry of the code at the start of `bits`.
  Entry lookup(std::uint64_t bits) const { return resolve(primary(bits), bits); }
  // The primary entry at the start of `bits`, which may link to a subtable ...
  Entry primary(std::uint64_t bits) const { return table_[bits & ((1u << primary_bits_) - 1)]; }
  // ... and the entry it stands for.
  Entry resolve(Entry entry, std::uint64_t bits) const {
    if (!entry.has(Entry::kLink)) return entry;
    return table_[entry.subtable() + ((bits >> primary_bits_) & ((1u << entry.index_bits()) - 1))];
  }
  // The next symbol, consumed (an alphabet without extra bits).
  unsigned decode(BitReader& in) const {
    const Entry entry = lookup(in.window());
    if (entry.bits() == 0) throw Malformed("invalid Huffman code");
    in.skip(entry.bits());
    return entry.symbol();
  }

 private:
  static Entry entry_of(unsigned symbol, unsigned length, Alphabet alphabet) {
    const unsigned extra = extra_bits(symbol, alphabet);
    if (extra == kNoSymbol) return Entry();
    unsigned flags = 0;
    if (alphabet == Alphabet::kLiterals && symbol >= kEndOfBlock) flags = symbol == kEndOfBlock ? Entry::kEnd : Entry::kMatch;
    // A walk needs the symbols of code lengths only; of the others, the length of the code.
    return Entry::code(alphabet == Alphabet::kCodeLengths ? symbol : length, flags, length + extra);
  }
  static constexpr unsigned kNoSymbol = 255;
  static unsigned extra_bits(unsigned symbol, Alphabet alphabet) {
    if (alphabet == Alphabet::kLiterals && symbol >= kFirstLengthSym) {
      const unsigned length = symbol - kFirstLengthSym;
      return length < kLengthExtraBits.size() ? kLengthExtraBits[length] : kNoSymbol;
    }
    if (alphabet == Alphabet::kDistances) {
      return symbol < kDistanceExtraBits.size() ? kDistanceExtraBits[symbol] : kNoSymbol;
    }
    return 0;
  }

  // Folds the codes after each primary entry into it while they lie whole
  // in its bits: an entry read at index i >> k (k bits known consumed) is
  // the one of the bits above those k when its code is no longer than the
  // bits left. In place, from the top: entry i reads only entries i and
  // below, as built.
  void pack(const Huffman<kDistanceTableSize>& distances) {
    for (unsigned i = 1u << primary_bits_; i-- > 0;) {
      unsigned bits = 0, flags = 0;
      while (bits < primary_bits_) {
        const Entry code = table_[i >> bits];
        if (!whole(code, primary_bits_ - bits)) break;
        flags = code.flags();
        bits += code.bits();
        if (flags == Entry::kMatch && bits < primary_bits_) {
          const Entry distance = distances.primary(i >> bits);
          if (!whole(distance, primary_bits_ - bits)) break;
          bits += distance.bits();
          flags = 0;  // the match is done
        }
        if (flags != 0) break;
      }
      if (bits != 0) table_[i] = Entry::code(0, flags, bits);
      else if (table_[i].empty()) table_[i] = Entry::code(0, Entry::kInvalid, 0);
    }
  }
  // Whether an entry is a code of at most `room` bits.
  static bool whole(Entry entry, unsigned room) {
    return !entry.empty() && !entry.has(Entry::kLink) && entry.code_length() <= room;
  }

  std::array<Entry, kCapacity> table_;  // entries past those built are never read
  unsigned primary_bits_ = 0;
};

using LiteralTable = Huffman<kLiteralTableSize>;
using DistanceTable = Huffman<kDistanceTableSize>;
using CodeLengthTable = Huffman<kCodeLengthTableSize>;

// A dynamic block's code lengths, literal/length codes first.
struct CodeLengths {
  unsigned char lengths[kNumLitLenSyms + kNumDistanceSyms] = {};
  unsigned literal_count = 0, distance_count = 0;
};

inline CodeLengths read_code_lengths(BitReader& in) {
  CodeLengths read;
  read.literal_count = in.take(kLitLenCountBits) + kLeastLitLenCodes;
  read.distance_count = in.take(kDistanceCountBits) + kLeastDistanceCodes;
  const unsigned length_codes = in.take(kCodeLengthCountBits) + kLeastCodeLengthCodes;
  unsigned char* lengths = read.lengths;
  for (unsigned i = 0; i < length_codes; ++i) {
    lengths[kCodeLengthOrder[i]] = static_cast<unsigned char>(in.take(kCodeLengthBits));
  }
  CodeLengthTable code_lengths;
  code_lengths.build(lengths, kNumCodeLengthSyms, Alphabet::kCodeLengths);
  std::fill(lengths, lengths + kNumCodeLengthSyms, 0);
  const unsigned total = read.literal_count + read.distance_count;
  for (unsigned i = 0; i < total;) {
    const unsigned symbol = code_lengths.decode(in);
    unsigned repeat = 1, value = symbol;
    if (symbol == kRepeatPrevious) {
      if (i == 0) throw Malformed("repeated code length with none before");
      value = lengths[i - 1];
      repeat = kRepeatPreviousLeast + in.take(kRepeatPreviousBits);
    } else if (symbol == kRepeatZero) {
      value = 0;
      repeat = kRepeatZeroLeast + in.take(kRepeatZeroBits);
    } else if (symbol == kRepeatZeroLong) {
      value = 0;
      repeat = kRepeatZeroLongLeast + in.take(kRepeatZeroLongBits);
    }
    if (i + repeat > total) throw Malformed("too many code lengths");
    for (; repeat > 0; --repeat) lengths[i++] = static_cast<unsigned char>(value);
  }
  if (lengths[kEndOfBlock] == 0) throw Malformed("no end-of-block code");
  return read;
}

// The end-of-block code of literal/length code lengths: its bits in stream
// order (the first one lowest) and its length. Canonical codes count up
// from the shortest, symbols of one length in order.
inline std::pair<std::uint32_t, unsigned> end_of_block_code(const unsigned char* lengths, unsigned count) {
  const unsigned length = lengths[kEndOfBlock];
  std::array<unsigned, kMaxCodewordLen + 1> per_length{};
  for (unsigned s = 0; s < count; ++s) ++per_length[lengths[s] & kMaxCodewordLen];
  per_length[0] = 0;
  std::uint32_t code = 0;
  for (unsigned l = 1; l < length; ++l) code = (code + per_length[l]) << 1;
  for (unsigned s = 0; s < kNumLiterals; ++s) code += lengths[s] == length;
  std::uint32_t reversed = 0;
  for (unsigned i = 0; i < length; ++i, code >>= 1) reversed = (reversed << 1) | (code & 1);
  return {reversed, length};
}

// The codes of a fixed block.
struct FixedCodes {
  LiteralTable literals;
  DistanceTable distances;

  explicit FixedCodes(bool packed) {
    unsigned char lengths[kNumLitLenSyms + kNumUsedDistanceSyms];
    for (unsigned run = 0, s = 0; run < std::size(kFixedLitLenRunEnds); ++run) {
      for (; s < kFixedLitLenRunEnds[run]; ++s) lengths[s] = kFixedLitLenRunLengths[run];
    }
    std::fill(lengths + kNumLitLenSyms, lengths + kNumLitLenSyms + kNumUsedDistanceSyms, kFixedDistanceLength);
    distances.build(lengths + kNumLitLenSyms, kNumUsedDistanceSyms, Alphabet::kDistances);
    literals.build(lengths, kNumLitLenSyms, Alphabet::kLiterals, packed ? &distances : nullptr);
  }
  static const FixedCodes& of(bool packed) {
    static const FixedCodes plain(false), packed_codes(true);
    return packed ? packed_codes : plain;
  }
};

}  // namespace nivra::deflate
