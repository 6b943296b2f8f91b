#include "base/containers/bloom_filter.hpp"

#include <cmath>
#include <new>
#include <random>

#include "base/core/errors.hpp"

namespace quendral {

namespace {

// A full-avalanche 64-bit finaliser (the one of SplitMix64).
std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace

std::uint64_t BloomFilter::bit_count_for(double p, std::uint64_t n) {
  QUENDRAL_CHECK(p > 0.0 && p < 1.0 && n > 0, "a Bloom filter needs a rate in (0, 1) and at least one item");
  const double ln2 = std::log(2.0);
  return static_cast<std::uint64_t>(std::ceil(-static_cast<double>(n) * std::log(p) / (ln2 * ln2)));
}

std::uint32_t BloomFilter::hash_count_for(std::uint64_t bits, std::uint64_t n) {
  const double k = std::round(static_cast<double>(bits) / static_cast<double>(n) * std::log(2.0));
  return k < 1.0 ? 1u : static_cast<std::uint32_t>(k);
}

BloomFilter::BloomFilter(double false_positive_rate, std::uint64_t expected_items, std::uint64_t seed)
    : bits_(bit_count_for(false_positive_rate, expected_items)),
      hashes_(hash_count_for(bits_, expected_items)),
      seed_(seed) {
  const std::uint64_t words = (bits_ + 63) / 64;
  // calloc: zeroed in full now, but fresh pages of the system are zero already and are not touched.
  words_.reset(static_cast<std::uint64_t*>(std::calloc(words, sizeof(std::uint64_t))));
  if (!words_) throw std::bad_alloc();
}

BloomFilter BloomFilter::with_random_seed(double false_positive_rate, std::uint64_t expected_items) {
  std::random_device device;
  const std::uint64_t seed = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  return BloomFilter(false_positive_rate, expected_items, seed);
}

BloomFilter::Probe BloomFilter::probe(std::uint64_t digest) const noexcept {
  const std::uint64_t h1 = mix64(digest ^ seed_);
  // An odd step, so the k positions do not repeat for any bit count that is a power of two.
  const std::uint64_t h2 = mix64(h1 + 0x9e3779b97f4a7c15ULL) | 1;
  return {h1, h2};
}

bool BloomFilter::insert(std::uint64_t digest) noexcept {
  const Probe p = probe(digest);
  bool present = true;
  std::uint64_t* words = words_.get();
  for (std::uint32_t i = 0; i < hashes_; ++i) {
    const std::uint64_t bit = position(p, i);
    const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    std::uint64_t& word = words[bit / 64];
    present = present && (word & mask) != 0;
    word |= mask;
  }
  return present;
}

bool BloomFilter::contains(std::uint64_t digest) const noexcept {
  const Probe p = probe(digest);
  const std::uint64_t* words = words_.get();
  for (std::uint32_t i = 0; i < hashes_; ++i) {
    const std::uint64_t bit = position(p, i);
    if ((words[bit / 64] & (std::uint64_t{1} << (bit % 64))) == 0) return false;
  }
  return true;
}

}  // namespace quendral
