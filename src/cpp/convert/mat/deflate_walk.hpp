// A walk over a raw deflate stream's blocks that decodes no output and
// only counts bits, to find where its final block starts and ends. Pure
// C++.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "convert/mat/bit_reader.hpp"
#include "convert/mat/deflate_constants.hpp"
#include "convert/mat/huffman.hpp"

namespace nivra::deflate {

// Steps over a Huffman-coded block's symbols, one entry at a time, with
// every read checked: the whole way when careful, else near the end only.
inline void skip_symbols(BitReader& in, const LiteralTable& literals, const DistanceTable& distances) {
  while (true) {
    std::uint64_t bits = in.window();
    const Entry symbol = literals.lookup(bits);
    unsigned length = symbol.bits();  // with a length's extra bits
    if (length == 0) throw Malformed("invalid literal or length code");
    if (symbol.has(Entry::kMatch)) {
      const unsigned distance = distances.lookup(bits >> length).bits();
      if (distance == 0) throw Malformed("invalid distance code");
      length += distance;
    }
    in.skip(length);
    if (symbol.has(Entry::kEnd)) return;
  }
}

// The fast walk's steps over a packed table. An entry without flags counts
// at most kMostPlainBits, so two of them follow one refill: a fixed step,
// which the processor predicts, where a test of the bits held is not.
constexpr unsigned kMostPlainBits = kPrimaryBits + kMaxExtraDistanceBits;
static_assert(2 * kMostPlainBits <= kRefilledBits, "two plain entries per refill");
// An entry with flags takes at most a length code with its extra bits and
// a distance code with its own, all within one refill.
static_assert(kMaxCodewordLen + kMaxExtraLengthBits + kMaxCodewordLen + kMaxExtraDistanceBits <= kRefilledBits,
              "a match per refill");

// Consumes the next entry when it has no flags; else leaves it in `entry`.
inline bool plain_entry(BitReader::Fast& fast, const LiteralTable& literals, Entry& entry) {
  entry = literals.primary(fast.bits);
  if (entry.flags() != 0) return false;
  fast.consume(entry.bits());
  return true;
}

// What an entry with flags counts of the kRefilledBits bits or more at the
// start of `bits`, resolving a link, with the distance of a match: its
// bits, and kEnd at the end of the block. A function of values, so that a
// walk's reader stays in registers around it.
inline Entry flagged_entry(std::uint64_t bits, Entry entry, const LiteralTable& literals,
                           const DistanceTable& distances) {
  if (entry.has(Entry::kInvalid)) throw Malformed("invalid literal or length code");
  entry = literals.resolve(entry, bits);
  unsigned length = entry.bits();
  if (length == 0) throw Malformed("invalid literal or length code");
  if (entry.has(Entry::kMatch)) {
    const unsigned distance = distances.lookup(bits >> length).bits();
    if (distance == 0) throw Malformed("invalid distance code");
    length += distance;
  }
  return Entry::code(0, entry.flags() & Entry::kEnd, length);
}

// Consumes an entry with flags; true at the end of the block.
inline bool consume_flagged(BitReader::Fast& fast, Entry entry, const LiteralTable& literals,
                            const DistanceTable& distances) {
  const Entry counted = flagged_entry(fast.bits, entry, literals, distances);
  fast.consume(counted.bits());
  return counted.has(Entry::kEnd);
}

// Walks a block's symbols up to its end-of-block code (true) or until
// fewer than kLoadBytes remain (false: the rest is for skip_symbols).
inline bool fast_symbols(BitReader::Fast& fast, const LiteralTable& literals, const DistanceTable& distances) {
  while (fast.refill()) {
    Entry entry;
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
  // The last four bytes (or fewer) hold any code of kMaxCodewordLen bits that ends in the last one.
  constexpr std::size_t kTailBytes = 4;
  static_assert(8 * (kTailBytes - 1) >= kMaxCodewordLen, "the tail holds a code ending in its last byte");
  const std::size_t held = std::min<std::size_t>(size, kTailBytes);
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
    const LiteralTable &la = *a.literals_, &lb = *b.literals_;
    const DistanceTable &da = *a.distances_, &db = *b.distances_;
    bool a_ended = false, b_ended = false, a_short = false, b_short = false;
    while (!a_ended && !b_ended) {
      if (!(a_short = !fa.refill()) && !(b_short = !fb.refill())) {
        Entry ea, eb;
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
      switch (in_.take(kBlockTypeBits)) {
        case kStoredBlock: {
          in_.align();
          const std::uint32_t length = in_.take(kStoredLengthBits), inverted = in_.take(kStoredLengthBits);
          if ((length ^ inverted) != kStoredLengthMask) throw Malformed("stored block length mismatch");
          in_.skip_bytes(length);
          break;
        }
        case kFixedBlock: {
          if (ended_after_code(0, kFixedEndOfBlockLength)) return;
          const FixedCodes& fixed = FixedCodes::of(walking_ != Walking::kCareful);
          literals_ = &fixed.literals;
          distances_ = &fixed.distances;
          return;
        }
        case kDynamicBlock: {
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
  LiteralTable dynamic_literals_;
  DistanceTable dynamic_distances_;
  const LiteralTable* literals_ = nullptr;
  const DistanceTable* distances_ = nullptr;
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

}  // namespace nivra::deflate
