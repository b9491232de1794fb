// Joining raw deflate streams compressed independently: a finished stream
// is walked block by block to find its final block, whose final bit is
// cleared, and an empty stored block is appended so that it ends on a byte
// boundary, as a sync flush would end it. The next stream then follows
// directly. Where a compressor wrote the stream whole, the final block's own
// symbols are mostly not walked: its end-of-block code in the last byte
// shows where it ends. Pure C++, no Python.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nivra::deflate {

struct Malformed : std::runtime_error {
  explicit Malformed(const char* what) : std::runtime_error(std::string("malformed deflate stream: ") + what) {}
};

// Bits of a byte string, least significant first.
class BitReader {
 public:
  BitReader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  // The next 48 bits or more, zero past the end, not consumed. Refills on
  // every call, without a branch, while eight bytes remain: the bits read
  // past those counted are the stream's own, so reading them again is harmless.
  std::uint64_t window() {
    if (size_ - next_ >= 8) {
      bits_ |= load_little_endian(data_ + next_) << held_;
      next_ += (63 - held_) / 8;
      held_ = 56 + held_ % 8;
    } else {
      while (held_ <= 56 && next_ < size_) {
        bits_ |= std::uint64_t(data_[next_++]) << held_;
        held_ += 8;
      }
    }
    return bits_;
  }
  // The next `count` (at most 16) bits, zero past the end, not consumed.
  std::uint32_t peek(unsigned count) { return static_cast<std::uint32_t>(window() & ((1u << count) - 1)); }
  void skip(unsigned count) {
    if (count > held_) window();
    if (count > held_) throw Malformed("deflate stream ends early");
    bits_ >>= count;
    held_ -= count;
  }
  std::uint32_t take(unsigned count) {
    const std::uint32_t value = peek(count);
    skip(count);
    return value;
  }
  void align() { skip(held_ % 8); }
  // After align(): skips whole bytes.
  void skip_bytes(std::size_t count) {
    const std::size_t buffered = std::min<std::size_t>(count, held_ / 8);
    skip(static_cast<unsigned>(8 * buffered));
    count -= buffered;
    if (count == 0) return;
    if (count > size_ - next_) throw Malformed("deflate stream ends early");
    next_ += count;
    bits_ = 0;  // drop what was read ahead of the skipped bytes
  }
  // The reader's state for a decoding loop that checks nothing but the
  // bytes left: taken with fast() and handed back with resume().
  struct Fast {
    const unsigned char* data;
    std::size_t size, next;
    std::uint64_t bits;
    unsigned held;

    // 56 bits or more held; false, with nothing read, when fewer than
    // eight bytes remain.
    bool refill() {
      if (size - next < 8) return false;
      bits |= load_little_endian(data + next) << held;
      next += (63 - held) / 8;
      held |= 56;
      return true;
    }
    // At most `held` bits.
    void consume(unsigned count) {
      bits >>= count;
      held -= count;
    }
  };
  Fast fast() const { return {data_, size_, next_, bits_, held_}; }
  void resume(const Fast& fast) {
    next_ = fast.next;
    bits_ = fast.bits;
    held_ = fast.held;
  }
  // Bits consumed so far.
  std::uint64_t position() const { return 8 * std::uint64_t(next_) - held_; }

 private:
  static std::uint64_t load_little_endian(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
  }

  const unsigned char* data_;
  std::size_t size_, next_ = 0;
  std::uint64_t bits_ = 0;
  unsigned held_ = 0;
};

constexpr std::array<unsigned char, 29> kLengthExtraBits{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<unsigned char, 30> kDistanceExtraBits{0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

enum class Alphabet { kCodeLengths, kLiterals, kDistances };

// A canonical Huffman code decoded by table look-up: a primary table on
// the next few stream bits, and for longer codes a subtable on the bits
// after those. An entry holds symbol << 16 | flags << 8 | bits, where bits
// counts the code and the extra bits after it (0: no such code), and where
// the symbol of a literal, length or distance is the code's own length,
// all a walk needs of it; a link to
// a subtable holds its offset << 16 | kLink << 8 | its index bits.
//
// Packed with its distance code, a literal/length table serves a walk that
// only counts bits: a primary entry stands for every code whose bits lie
// whole in the primary bits (a length's distance included), up to an
// end-of-block code or a length whose distance does not. Its bits count
// them all with their extra bits, so at most the primary bits and a
// distance's 13; its flags are those of the last code, a match whose
// distance is counted being done (no flags). One with no code is kInvalid.
class Huffman {
 public:
  static constexpr std::uint32_t kLink = 1, kMatch = 2, kEnd = 4, kInvalid = 8;
  static constexpr unsigned kPackedBits = 10;  // wider tables cost more to build than they save

  void build(const unsigned char* lengths, unsigned count, Alphabet alphabet,
             const Huffman* packed_with = nullptr) {
    const bool packed = packed_with != nullptr;
    std::array<unsigned, 16> per_length{};
    unsigned longest = 0;
    for (unsigned s = 0; s < count; ++s) {
      ++per_length[lengths[s]];
      longest = std::max<unsigned>(longest, lengths[s]);
    }
    per_length[0] = 0;
    int left = 1;
    for (unsigned length = 1; length < 16; ++length) {
      left = 2 * left - static_cast<int>(per_length[length]);
      if (left < 0) throw Malformed("over-subscribed Huffman code");
    }
    std::array<unsigned, 16> next{};
    for (unsigned length = 1, code = 0; length < 16; ++length) {
      code = (code + per_length[length - 1]) << 1;
      next[length] = code;
    }
    // A packed table is as wide as its primary bits whatever the longest
    // code, so that short codes pack several to an entry.
    primary_bits_ = packed ? kPackedBits : std::min(longest, kPrimaryBits);
    const unsigned sub_bits = longest > primary_bits_ ? longest - primary_bits_ : 0;
    table_.assign(std::size_t(1) << primary_bits_, 0);  // 0: no code (an incomplete set)
    for (unsigned s = 0; s < count; ++s) {
      const unsigned length = lengths[s];
      if (length == 0) continue;
      unsigned code = next[length]++, reversed = 0;
      for (unsigned i = 0; i < length; ++i, code >>= 1) reversed = (reversed << 1) | (code & 1);
      const std::uint32_t entry = entry_of(s, length, alphabet);
      if (length <= primary_bits_) {
        for (std::size_t i = reversed; i < (std::size_t(1) << primary_bits_); i += std::size_t(1) << length) {
          table_[i] = entry;
        }
        continue;
      }
      const std::size_t at = reversed & ((1u << primary_bits_) - 1);
      if (table_[at] == 0) {
        table_[at] = static_cast<std::uint32_t>(table_.size()) << 16 | kLink << 8 | sub_bits;
        table_.resize(table_.size() + (std::size_t(1) << sub_bits), 0);
      }
      const std::size_t offset = table_[at] >> 16;
      for (std::size_t i = reversed >> primary_bits_; i < (std::size_t(1) << sub_bits);
           i += std::size_t(1) << (length - primary_bits_)) {
        table_[offset + i] = entry;
      }
    }
    if (packed) pack(*packed_with);
  }
  // The entry of the code at the start of `bits`.
  std::uint32_t lookup(std::uint64_t bits) const { return resolve(primary(bits), bits); }
  // The primary entry at the start of `bits`, which may link to a subtable ...
  std::uint32_t primary(std::uint64_t bits) const { return table_[bits & ((1u << primary_bits_) - 1)]; }
  // ... and the entry it stands for.
  std::uint32_t resolve(std::uint32_t entry, std::uint64_t bits) const {
    if (((entry >> 8) & kLink) == 0) return entry;
    return table_[(entry >> 16) + ((bits >> primary_bits_) & ((1u << (entry & 0xff)) - 1))];
  }
  // The next symbol, consumed (an alphabet without extra bits).
  unsigned decode(BitReader& in) const {
    const std::uint32_t entry = lookup(in.window());
    if ((entry & 0xff) == 0) throw Malformed("invalid Huffman code");
    in.skip(entry & 0xff);
    return entry >> 16;
  }

 private:
  static constexpr unsigned kPrimaryBits = 10;

  static std::uint32_t entry_of(unsigned symbol, unsigned length, Alphabet alphabet) {
    const unsigned extra = extra_bits(symbol, alphabet);
    if (extra == kNoSymbol) return 0;
    unsigned flags = 0;
    if (alphabet == Alphabet::kLiterals && symbol >= 256) flags = symbol == 256 ? kEnd : kMatch;
    // A walk needs the symbols of code lengths only; of the others, the length of the code.
    return (alphabet == Alphabet::kCodeLengths ? symbol : length) << 16 | flags << 8 | (length + extra);
  }
  static constexpr unsigned kNoSymbol = 255;
  static unsigned extra_bits(unsigned symbol, Alphabet alphabet) {
    if (alphabet == Alphabet::kLiterals && symbol > 256) {
      return symbol - 257 < kLengthExtraBits.size() ? kLengthExtraBits[symbol - 257] : kNoSymbol;
    }
    if (alphabet == Alphabet::kDistances) {
      return symbol < kDistanceExtraBits.size() ? kDistanceExtraBits[symbol] : kNoSymbol;
    }
    return 0;
  }

  // Folds the codes after each primary entry into it while they lie whole
  // in its bits: an entry read at index i >> k (k bits known consumed) is
  // the one of the bits above those k when its code is no longer than the
  // bits left.
  void pack(const Huffman& distances) {
    const unsigned size = 1u << primary_bits_;
    std::vector<std::uint32_t> packed(table_.begin(), table_.begin() + size);
    for (unsigned i = 0; i < size; ++i) {
      unsigned bits = 0, flags = 0;
      while (bits < primary_bits_) {
        const std::uint32_t code = table_[i >> bits];
        if (!whole(code, primary_bits_ - bits)) break;
        flags = code >> 8 & 0xff;
        bits += code & 0xff;
        if (flags == kMatch && bits < primary_bits_) {
          const std::uint32_t distance = distances.primary(i >> bits);
          if (!whole(distance, primary_bits_ - bits)) break;
          bits += distance & 0xff;
          flags = 0;  // the match is done
        }
        if (flags != 0) break;
      }
      if (bits != 0) packed[i] = flags << 8 | bits;
      else if (packed[i] == 0) packed[i] = kInvalid << 8;
    }
    std::copy(packed.begin(), packed.end(), table_.begin());
  }
  // Whether an entry is a code of at most `room` bits.
  static bool whole(std::uint32_t entry, unsigned room) {
    return entry != 0 && (entry >> 8 & kLink) == 0 && entry >> 16 <= room;
  }

  std::vector<std::uint32_t> table_;
  unsigned primary_bits_ = 0;
};

// A dynamic block's code lengths, literal/length codes first.
struct CodeLengths {
  unsigned char lengths[288 + 32] = {};
  unsigned literal_count = 0, distance_count = 0;
};

inline CodeLengths read_code_lengths(BitReader& in) {
  static constexpr unsigned char kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  CodeLengths read;
  read.literal_count = in.take(5) + 257;
  read.distance_count = in.take(5) + 1;
  const unsigned length_codes = in.take(4) + 4;
  unsigned char* lengths = read.lengths;
  for (unsigned i = 0; i < length_codes; ++i) lengths[kOrder[i]] = static_cast<unsigned char>(in.take(3));
  Huffman code_lengths;
  code_lengths.build(lengths, 19, Alphabet::kCodeLengths);
  std::fill(lengths, lengths + 19, 0);
  const unsigned total = read.literal_count + read.distance_count;
  for (unsigned i = 0; i < total;) {
    const unsigned symbol = code_lengths.decode(in);
    unsigned repeat = 1, value = symbol;
    if (symbol == 16) {
      if (i == 0) throw Malformed("repeated code length with none before");
      value = lengths[i - 1];
      repeat = 3 + in.take(2);
    } else if (symbol == 17) {
      value = 0;
      repeat = 3 + in.take(3);
    } else if (symbol == 18) {
      value = 0;
      repeat = 11 + in.take(7);
    }
    if (i + repeat > total) throw Malformed("too many code lengths");
    for (; repeat > 0; --repeat) lengths[i++] = static_cast<unsigned char>(value);
  }
  if (lengths[256] == 0) throw Malformed("no end-of-block code");
  return read;
}

// The end-of-block code of literal/length code lengths: its bits in stream
// order (the first one lowest) and its length. Canonical codes count up
// from the shortest, symbols of one length in order.
inline std::pair<std::uint32_t, unsigned> end_of_block_code(const unsigned char* lengths, unsigned count) {
  const unsigned length = lengths[256];
  std::array<unsigned, 16> per_length{};
  for (unsigned s = 0; s < count; ++s) ++per_length[lengths[s] & 15];
  per_length[0] = 0;
  std::uint32_t code = 0;
  for (unsigned l = 1; l < length; ++l) code = (code + per_length[l]) << 1;
  for (unsigned s = 0; s < 256; ++s) code += lengths[s] == length;
  std::uint32_t reversed = 0;
  for (unsigned i = 0; i < length; ++i, code >>= 1) reversed = (reversed << 1) | (code & 1);
  return {reversed, length};
}

// The codes of a fixed block.
struct FixedCodes {
  Huffman literals, distances;

  explicit FixedCodes(bool packed) {
    unsigned char lengths[288 + 30];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 318, 8);
    std::fill(lengths + 288, lengths + 318, 5);
    distances.build(lengths + 288, 30, Alphabet::kDistances);
    literals.build(lengths, 288, Alphabet::kLiterals, packed ? &distances : nullptr);
  }
  static const FixedCodes& of(bool packed) {
    static const FixedCodes plain(false), packed_codes(true);
    return packed ? packed_codes : plain;
  }
};

// Steps over a Huffman-coded block's symbols, one entry at a time, with
// every read checked: the whole way when careful, else near the end only.
inline void skip_symbols(BitReader& in, const Huffman& literals, const Huffman& distances) {
  while (true) {
    std::uint64_t bits = in.window();
    const std::uint32_t symbol = literals.lookup(bits);
    unsigned length = symbol & 0xff;  // with a length's extra bits
    if (length == 0) throw Malformed("invalid literal or length code");
    const std::uint32_t flags = symbol >> 8;
    if (flags & Huffman::kMatch) {
      const unsigned distance = distances.lookup(bits >> length) & 0xff;
      if (distance == 0) throw Malformed("invalid distance code");
      length += distance;
    }
    in.skip(length);
    if (flags & Huffman::kEnd) return;
  }
}

// The fast walk's steps over a packed table. An entry without flags counts
// at most kMostPlainBits, so two of them follow one refill: a fixed step,
// which the processor predicts, where a test of the bits held is not.
constexpr unsigned kMostPlainBits = Huffman::kPackedBits + 13;
static_assert(2 * kMostPlainBits <= 56, "two plain entries per refill");

// Consumes the next entry when it has no flags; else leaves it in `entry`.
inline bool plain_entry(BitReader::Fast& fast, const Huffman& literals, std::uint32_t& entry) {
  entry = literals.primary(fast.bits);
  if (entry >> 8 != 0) return false;
  fast.consume(entry & 0xff);
  return true;
}

// What an entry with flags counts of the 56 bits or more at the start of
// `bits`, resolving a link, with the distance of a match (at most 20 + 28
// bits); kEnd << 8 added at the end of the block. A function of values, so
// that a walk's reader stays in registers around it.
inline std::uint32_t flagged_entry(std::uint64_t bits, std::uint32_t entry, const Huffman& literals,
                                   const Huffman& distances) {
  if (entry >> 8 & Huffman::kInvalid) throw Malformed("invalid literal or length code");
  entry = literals.resolve(entry, bits);
  unsigned length = entry & 0xff;
  if (length == 0) throw Malformed("invalid literal or length code");
  if (entry & Huffman::kMatch << 8) {
    const unsigned distance = distances.lookup(bits >> length) & 0xff;
    if (distance == 0) throw Malformed("invalid distance code");
    length += distance;
  }
  return length | (entry & Huffman::kEnd << 8);
}

// Consumes an entry with flags; true at the end of the block.
inline bool consume_flagged(BitReader::Fast& fast, std::uint32_t entry, const Huffman& literals,
                            const Huffman& distances) {
  const std::uint32_t counted = flagged_entry(fast.bits, entry, literals, distances);
  fast.consume(counted & 0xff);
  return counted >> 8 != 0;
}

// Walks a block's symbols up to its end-of-block code (true) or until
// fewer than eight bytes remain (false: the rest is for skip_symbols).
inline bool fast_symbols(BitReader::Fast& fast, const Huffman& literals, const Huffman& distances) {
  while (fast.refill()) {
    std::uint32_t entry;
    if (plain_entry(fast, literals, entry) && plain_entry(fast, literals, entry)) continue;  // two per refill
    if (!fast.refill()) return false;  // the bits of `entry` are not consumed
    if (consume_flagged(fast, entry, literals, distances)) return true;
  }
  return false;
}

struct StreamEnd {
  std::uint64_t final_header;  // bit position of the final block's final bit
  std::uint64_t end;           // bit position just past its end-of-block code
};

// How a stream is walked: kCareful with one checked look-up per symbol and
// unpacked tables, the reference for the others; kFast; kWhole as fast, for
// a stream that a compressor wrote whole (no damage, nothing after it),
// whose final block is not walked where its end-of-block code shows where
// it ends (end_after_code).
enum class Walking { kCareful, kFast, kWhole };

// Where a whole stream's final block ends, its symbols starting at bit
// `from`: just past its end-of-block code (`code`, its bits in stream
// order, and `length`), somewhere in the stream's last byte. Found when
// only one place there follows that code; none when two would do.
inline std::optional<std::uint64_t> end_after_code(const unsigned char* data, std::size_t size, std::uint64_t from,
                                                   std::uint32_t code, unsigned length) {
  // The last four bytes (or fewer) hold any code of 15 bits or less that ends in the last one.
  const std::size_t held = std::min<std::size_t>(size, 4);
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < held; ++i) tail |= std::uint64_t(data[size - held + i]) << (8 * i);
  const std::uint64_t total = 8 * std::uint64_t(size), tail_start = total - 8 * held;
  std::optional<std::uint64_t> found;
  for (std::uint64_t end = total; end + 8 > total && end >= from + length && end - length >= tail_start; --end) {
    if (((tail >> (end - length - tail_start)) & ((1u << length) - 1)) != code) continue;
    if (found) return std::nullopt;
    found = end;
  }
  return found;
}

// A walk over one raw deflate stream, block by block.
class Walk {
 public:
  Walk(const unsigned char* data, std::size_t size, Walking walking)
      : data_(data), size_(size), in_(data, size), walking_(walking) {
    to_symbols();
  }

  bool done() const { return done_; }
  const StreamEnd& end() const { return end_; }

  // Walks two streams to their ends, fast, side by side: each one's table
  // look-ups overlap the other's, which a single walk waits on.
  static void both(Walk& a, Walk& b) {
    while (!a.done() && !b.done()) both_blocks(a, b);
    while (!a.done()) a.skip_block();
    while (!b.done()) b.skip_block();
  }

  // Steps over the current block's symbols up to its end-of-block code.
  void skip_block() {
    if (walking_ == Walking::kCareful) {
      skip_symbols(in_, *literals_, *distances_);
    } else {
      BitReader::Fast fast = in_.fast();
      const bool ended = fast_symbols(fast, *literals_, *distances_);
      in_.resume(fast);
      if (!ended) skip_symbols(in_, *literals_, *distances_);
    }
    block_done();
  }

 private:
  // Steps over both walks' current blocks until one of them ends.
  static void both_blocks(Walk& a, Walk& b) {
    BitReader::Fast fa = a.in_.fast(), fb = b.in_.fast();
    const Huffman &la = *a.literals_, &da = *a.distances_, &lb = *b.literals_, &db = *b.distances_;
    bool a_ended = false, b_ended = false, a_short = false, b_short = false;
    while (!a_ended && !b_ended) {
      if (!(a_short = !fa.refill()) && !(b_short = !fb.refill())) {
        std::uint32_t ea, eb;
        bool a_plain = plain_entry(fa, la, ea), b_plain = plain_entry(fb, lb, eb);
        a_plain = a_plain && plain_entry(fa, la, ea);
        b_plain = b_plain && plain_entry(fb, lb, eb);
        if (!a_plain && !(a_short = !fa.refill())) a_ended = consume_flagged(fa, ea, la, da);
        if (!b_plain && !a_short && !(b_short = !fb.refill())) b_ended = consume_flagged(fb, eb, lb, db);
      }
      if (a_short || b_short) break;
    }
    a.in_.resume(fa);
    b.in_.resume(fb);
    a.after_fast_symbols(a_ended, a_short);
    b.after_fast_symbols(b_ended, b_short);
  }
  // A block left by the fast walk: ended, cut short (the rest walked
  // carefully), or neither (to go on with).
  void after_fast_symbols(bool ended, bool cut) {
    if (cut) skip_symbols(in_, *literals_, *distances_);
    if (cut || ended) block_done();
  }

  void block_done() {
    if (final_) {
      done_ = true;
      end_ = {header_, in_.position()};
    } else {
      to_symbols();
    }
  }

  // Reads block headers, skipping stored blocks, up to the symbols of a
  // Huffman-coded block or past the final block.
  void to_symbols() {
    while (true) {
      header_ = in_.position();
      final_ = in_.take(1) != 0;
      switch (in_.take(2)) {
        case 0: {
          in_.align();
          const std::uint32_t length = in_.take(16), inverted = in_.take(16);
          if ((length ^ inverted) != 0xffff) throw Malformed("stored block length mismatch");
          in_.skip_bytes(length);
          break;
        }
        case 1: {
          if (ended_after_code(0, 7)) return;  // a fixed end-of-block code: seven zero bits
          const FixedCodes& fixed = FixedCodes::of(walking_ != Walking::kCareful);
          literals_ = &fixed.literals;
          distances_ = &fixed.distances;
          return;
        }
        case 2: {
          const CodeLengths read = read_code_lengths(in_);
          const auto [code, length] = end_of_block_code(read.lengths, read.literal_count);
          if (ended_after_code(code, length)) return;
          dynamic_distances_.build(read.lengths + read.literal_count, read.distance_count, Alphabet::kDistances);
          dynamic_literals_.build(read.lengths, read.literal_count, Alphabet::kLiterals,
                                  walking_ == Walking::kCareful ? nullptr : &dynamic_distances_);
          literals_ = &dynamic_literals_;
          distances_ = &dynamic_distances_;
          return;
        }
        default:
          throw Malformed("invalid block type");
      }
      if (final_) {
        done_ = true;
        end_ = {header_, in_.position()};
        return;
      }
    }
  }

  // At a whole stream's final block, whose symbols come next: done when
  // its end-of-block code shows where it ends.
  bool ended_after_code(std::uint32_t code, unsigned length) {
    if (walking_ != Walking::kWhole || !final_) return false;
    const auto end = end_after_code(data_, size_, in_.position(), code, length);
    if (!end) return false;
    done_ = true;
    end_ = {header_, *end};
    return true;
  }

  const unsigned char* data_;
  std::size_t size_;
  BitReader in_;
  Walking walking_;
  Huffman dynamic_literals_, dynamic_distances_;
  const Huffman* literals_ = nullptr;
  const Huffman* distances_ = nullptr;
  std::uint64_t header_ = 0;
  bool final_ = false, done_ = false;
  StreamEnd end_{};
};

// Where a raw deflate stream's final block starts and ends.
inline StreamEnd find_stream_end(const unsigned char* data, std::size_t size, Walking walking = Walking::kFast) {
  Walk walk(data, size, walking);
  while (!walk.done()) walk.skip_block();
  return walk.end();
}

// Makes a finished raw deflate stream that ends at `end` one that
// continues: clears its final bit and ends it with an empty stored block on
// a byte boundary.
inline void end_without_final_bit(std::string& stream, const StreamEnd& end) {
  auto* bytes = reinterpret_cast<unsigned char*>(stream.data());
  if ((end.end + 7) / 8 != stream.size()) throw Malformed("bytes after the end of the deflate stream");
  bytes[end.final_header / 8] &= static_cast<unsigned char>(~(1u << (end.final_header % 8)));
  const unsigned used = static_cast<unsigned>(end.end % 8);
  if (used != 0) bytes[stream.size() - 1] &= static_cast<unsigned char>((1u << used) - 1);  // zero padding
  // The stored block's three header bits go in the padding when it has room
  // for them, else in one more byte; its empty length follows, aligned.
  if (used == 0 || used > 5) stream.push_back('\0');
  stream.append("\x00\x00\xff\xff", 4);
}

// Makes a finished raw deflate stream one that continues.
inline void continue_stream(std::string& stream, Walking walking = Walking::kFast) {
  end_without_final_bit(stream, find_stream_end(reinterpret_cast<const unsigned char*>(stream.data()),
                                                stream.size(), walking));
}

// The same for several streams, walked two at a time unless carefully.
inline void continue_streams(const std::vector<std::string*>& streams, Walking walking = Walking::kFast) {
  std::size_t i = 0;
  for (; walking != Walking::kCareful && i + 1 < streams.size(); i += 2) {
    std::string &a = *streams[i], &b = *streams[i + 1];
    Walk walk_a(reinterpret_cast<const unsigned char*>(a.data()), a.size(), walking);
    Walk walk_b(reinterpret_cast<const unsigned char*>(b.data()), b.size(), walking);
    Walk::both(walk_a, walk_b);
    end_without_final_bit(a, walk_a.end());
    end_without_final_bit(b, walk_b.end());
  }
  for (; i < streams.size(); ++i) continue_stream(*streams[i], walking);
}

}  // namespace nivra::deflate
