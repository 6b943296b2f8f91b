// A Bloom filter: the fixed-size closed list of the memory-bounded search.
//
// Sized from a false-positive rate p and an expected item count n by the standard formulas:
// m = ⌈−n ln p / (ln 2)²⌉ bits and k = round(m / n · ln 2) bit positions per item (at least one).
// The bits are allocated, zeroed, when the filter is made and never grow.
//
// An item enters as a 64-bit digest. The filter mixes the digest with its own seed before it
// derives the k positions (h1 + i·h2 over the bit count), so which items collide in the filter
// changes with the seed; `with_random_seed` draws a fresh one from the operating system.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace quendral {

class BloomFilter {
 public:
  // The sizes of a filter for rate `p` (0 < p < 1) and `n` items (n > 0).
  static std::uint64_t bit_count_for(double p, std::uint64_t n);
  static std::uint32_t hash_count_for(std::uint64_t bits, std::uint64_t n);

  BloomFilter(double false_positive_rate, std::uint64_t expected_items, std::uint64_t seed);
  static BloomFilter with_random_seed(double false_positive_rate, std::uint64_t expected_items);

  // Sets the item's bits; true when every one of them was already set (the item counts as
  // present), false when it is new.
  bool insert(std::uint64_t digest) noexcept;
  // True when every bit of the item is set.
  bool contains(std::uint64_t digest) const noexcept;

  std::uint64_t bit_count() const noexcept { return bits_; }
  std::uint32_t hash_count() const noexcept { return hashes_; }
  std::uint64_t seed() const noexcept { return seed_; }

 private:
  struct Free {
    void operator()(std::uint64_t* words) const noexcept { std::free(words); }
  };
  struct Probe {
    std::uint64_t h1;
    std::uint64_t h2;
  };
  Probe probe(std::uint64_t digest) const noexcept;
  std::uint64_t position(const Probe& p, std::uint32_t i) const noexcept {
    // Multiply-shift reduction onto [0, bits) instead of a division per probe.
    const std::uint64_t h = p.h1 + static_cast<std::uint64_t>(i) * p.h2;
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(h) * bits_) >> 64);
  }

  std::uint64_t bits_;
  std::uint32_t hashes_;
  std::uint64_t seed_;
  std::unique_ptr<std::uint64_t, Free> words_;
};

}  // namespace quendral
