// SipHash-c-d (Aumasson and Bernstein) with a 128-bit key and a 64-bit result. The round
// counts are parameters so the standard 2-4 test vectors check the same code that hash
// tables run as 1-3.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zm {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

namespace siphash_detail {

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

struct State {
  uint64_t v0, v1, v2, v3;
  inline void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  template <int C>
  inline void compress(uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  }
};

}  // namespace siphash_detail

// The hash of a message given as its 8-byte little-endian blocks: block() for each full
// block, then finish() with the last 0 to 7 bytes in the low bits (total length mod 256
// in the top byte, as the algorithm defines the final block).
template <int C, int D>
class SipHasher {
 public:
  explicit SipHasher(const SipKey& key)
      : s_{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
           key.k1 ^ 0x7465646279746573ULL} {}
  void block(uint64_t m) { s_.template compress<C>(m); }
  uint64_t finish(uint64_t last) {
    s_.template compress<C>(last);
    s_.v2 ^= 0xff;
    for (int i = 0; i < D; ++i) s_.round();
    return s_.v0 ^ s_.v1 ^ s_.v2 ^ s_.v3;
  }

 private:
  siphash_detail::State s_;
};

template <int C, int D>
uint64_t siphash(const SipKey& key, const void* data, size_t size) {
  SipHasher<C, D> h(key);
  const auto* p = static_cast<const unsigned char*>(data);
  size_t n = size;
  for (; n >= 8; n -= 8, p += 8) h.block(siphash_detail::load_le64(p));
  uint64_t last = static_cast<uint64_t>(size) << 56;
  for (size_t i = 0; i < n; ++i) last |= static_cast<uint64_t>(p[i]) << (8 * i);
  return h.finish(last);
}

}  // namespace zm
