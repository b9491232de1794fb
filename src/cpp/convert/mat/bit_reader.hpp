// The bits of a raw deflate stream, least significant first, read through
// a 64-bit buffer. Pure C++.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/byte_order.hpp"

namespace nivra::deflate {

struct Malformed : std::runtime_error {
  explicit Malformed(const char* what) : std::runtime_error(std::string("malformed deflate stream: ") + what) {}
};

// A refill loads the eight bytes at the next unread one and keeps the
// whole bytes that fit beside the bits already held: afterwards at least
// kRefilledBits are held. The bits loaded past those kept are the
// stream's own, loaded again by the next refill, so the load is harmless.
constexpr unsigned kBufferBits = 64;
constexpr unsigned kLoadBytes = kBufferBits / 8;
constexpr unsigned kRefilledBits = kBufferBits - 8;  // what is held after a refill, less held % 8

class BitReader {
 public:
  BitReader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  // The next kRefilledBits bits or more, zero past the end, not consumed.
  // Refills on every call, without a branch, while kLoadBytes remain.
  std::uint64_t window() {
    if (size_ - next_ >= kLoadBytes) {
      bits_ |= load_little_endian_u64(data_ + next_) << held_;
      next_ += (kBufferBits - 1 - held_) / 8;  // the whole bytes that fit above the bits held
      held_ = kRefilledBits + held_ % 8;
    } else {
      while (held_ <= kRefilledBits && next_ < size_) {
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

    // kRefilledBits or more held; false, with nothing read, when fewer
    // than kLoadBytes remain.
    bool refill() {
      if (size - next < kLoadBytes) return false;
      bits |= load_little_endian_u64(data + next) << held;
      next += (kBufferBits - 1 - held) / 8;
      held |= kRefilledBits;  // kRefilledBits + held % 8, as held < kBufferBits
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
  const unsigned char* data_;
  std::size_t size_, next_ = 0;
  std::uint64_t bits_ = 0;
  unsigned held_ = 0;
};

}  // namespace nivra::deflate
