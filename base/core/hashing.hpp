// Hashing: the engine's one hash function, a fast non-cryptographic 64-bit multiply-rotate
// hasher, with the adaptors its hash tables take (plain words and texts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quendral {

// A fast, non-cryptographic 64-bit multiply-rotate hasher, used by the engine's hash tables.
class FxHasher {
 public:
  static constexpr std::uint64_t kSeed = 0x51'7c'c1'b7'27'22'0a'95ULL;

  void write_u64(std::uint64_t word) noexcept { hash_ = (rotl5(hash_) ^ word) * kSeed; }
  void write_u8(std::uint8_t byte) noexcept { write_u64(byte); }
  void write_bytes(const void* data, std::size_t size) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      write_u64(w);
      p += 8;
      size -= 8;
    }
    if (size >= 4) {
      std::uint32_t w;
      std::memcpy(&w, p, 4);
      write_u64(w);
      p += 4;
      size -= 4;
    }
    if (size >= 2) {
      std::uint16_t w;
      std::memcpy(&w, p, 2);
      write_u64(w);
      p += 2;
      size -= 2;
    }
    if (size >= 1) write_u64(*p);
  }
  std::uint64_t finish() const noexcept { return hash_; }

 private:
  static std::uint64_t rotl5(std::uint64_t x) noexcept { return (x << 5) | (x >> 59); }
  std::uint64_t hash_ = 0;
};

// The Fx hash of a single word: for tables keyed by a plain number (identifiers, action indices).
inline std::uint64_t fx_hash_word(std::uint64_t word) noexcept {
  FxHasher h;
  h.write_u64(word);
  return h.finish();
}

struct FxWordHash {
  std::size_t operator()(std::uint64_t word) const noexcept { return fx_hash_word(word); }
};

// Hash and equality of texts, transparent so that a table of `std::string` keys is searched with
// a `std::string_view`.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    FxHasher h;
    h.write_bytes(text.data(), text.size());
    h.write_u8(0xff);
    return h.finish();
  }
};
struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

}  // namespace quendral
