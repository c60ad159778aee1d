// The one way this project writes vector code: GCC vector extensions (lane
// by lane the same IEEE operations as the scalar code, so every width gives
// the same bits), compiled once per instruction set for the functions marked
// CORVANE_CLONES, which the loader dispatches on the running processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#if defined(__x86_64__) && defined(__ELF__)
#include <immintrin.h>
#endif

// Clones for AVX-512, AVX2 and the baseline, chosen once when the library is
// loaded. Functions called from a clone inherit its instruction set only when
// they are inlined into it, so the bodies they call are CORVANE_INLINE.
#if defined(__x86_64__) && defined(__ELF__)
#define CORVANE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
// Clones for code that rounds a multiply-add once (std::fma in loops the
// compiler vectorises). The "avx512f" and "avx2" targets leave the FMA unit
// off; the x86-64-v4 and -v3 levels are the same vector widths with it on.
// The baseline calls the C library's fmaf: the same bits, only slower.
#define CORVANE_FMA_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
// Code that picks bytes out of two 64-byte vectors in one instruction
// (AVX-512 VBMI). Only called where byte_permutes() is true: clones cannot
// choose it, as the loader ranks no level above x86-64-v4 that has it.
#define CORVANE_BYTE_PERMUTES __attribute__((target("avx512f,avx512bw,avx512vbmi,fma")))
#else
#define CORVANE_CLONES
#define CORVANE_FMA_CLONES
#define CORVANE_BYTE_PERMUTES
#endif
#define CORVANE_INLINE [[gnu::always_inline]] inline

namespace corvane::simd {

// N lanes of T.
template <class T, std::size_t N>
using Vec [[gnu::vector_size(N * sizeof(T))]] = T;

// Sixteen float lanes: one AVX-512 register, two AVX2 or four SSE2 ones.
inline constexpr std::size_t kLanes = 16;
using Floats = Vec<float, kLanes>;
using Words = Vec<std::uint32_t, kLanes>;

// Lanes for code that compares and selects. GCC splits a compare of vectors
// wider than the machine's registers into one scalar compare per lane (16
// floats on AVX2, 8 on SSE2), so such code works on eight lanes: one AVX2
// register, half an AVX-512 one.
inline constexpr std::size_t kCompareLanes = 8;
using CompareFloats = Vec<float, kCompareLanes>;
using CompareWords = Vec<std::uint32_t, kCompareLanes>;

// Lane permutations. `pick` holds lane indices, as many as `v` has lanes: of
// `v` alone, taken modulo its lanes, or of `a` then `b`. They return their
// vector so that they compose in expressions; being always inlined, no call
// ever returns it in registers, and GCC's note that such a return would
// change the ABI between instruction sets (-Wpsabi) is silenced for the
// files that include this one. A function that is not inlined, a clone above
// all, still takes and gives its vectors by reference.
#pragma GCC diagnostic ignored "-Wpsabi"
template <class V, class I>
CORVANE_INLINE V permute(const V& v, const I& pick) noexcept {
  return __builtin_shuffle(v, pick);
}

template <class V, class I>
CORVANE_INLINE V permute(const V& a, const V& b, const I& pick) noexcept {
  return __builtin_shuffle(a, b, pick);
}

// The low and the high half of the lanes of `v`.
template <class H, class V, std::size_t... K>
CORVANE_INLINE void split(H& low, H& high, const V& v, std::index_sequence<K...>) noexcept {
  low = __builtin_shufflevector(v, v, K...);
  high = __builtin_shufflevector(v, v, (sizeof...(K) + K)...);
}

template <class H, class V>
CORVANE_INLINE void split(H& low, H& high, const V& v) noexcept {
  static_assert(2 * sizeof(H) == sizeof(V));
  split(low, high, v, std::make_index_sequence<sizeof(H) / sizeof(low[0])>{});
}

// Unaligned loads and stores of a whole vector. Vectors are passed by
// reference, never by value: a 64-byte vector by value changes the calling
// convention between clones.
template <class V, class T>
CORVANE_INLINE void load(V& v, const T* p) noexcept {
  std::memcpy(&v, p, sizeof v);
}

template <class V, class T>
CORVANE_INLINE void store(T* p, const V& v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// Square roots lane by lane: IEEE, so the same bits as std::sqrt, without
// the branch for errno that a scalar call carries.
CORVANE_INLINE void sqrt_lanes(CompareFloats& v) noexcept {
#if defined(__x86_64__)
  using Quarter = Vec<float, 4>;
  Quarter lo, hi;
  split(lo, hi, v);
  lo = __builtin_ia32_sqrtps(lo);
  hi = __builtin_ia32_sqrtps(hi);
  v = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
#else
  for (std::size_t k = 0; k < kCompareLanes; ++k) v[k] = __builtin_sqrtf(v[k]);
#endif
}

// The lanes of a comparison result that are set, as bits 0 .. 7 of a word.
template <class Mask>
CORVANE_INLINE std::uint32_t lane_bits(const Mask& mask) noexcept {
  using Bits = Vec<std::uint32_t, kCompareLanes>;
  using Half = Vec<std::uint32_t, kCompareLanes / 2>;
  const Bits lane_bit = {1u << 0, 1u << 1, 1u << 2, 1u << 3, 1u << 4, 1u << 5, 1u << 6, 1u << 7};
  const Bits bits = reinterpret_cast<Bits>(mask) & lane_bit;
  Half low, high;
  split(low, high, bits);
  const Half h = low | high;
  return (h[0] | h[1]) | (h[2] | h[3]);
}

// Whether a shuffle of sixteen 32-bit lanes out of two vectors is a single
// instruction (AVX-512); elsewhere it takes several, and loading each lane
// on its own is faster.
inline bool wide_shuffles() noexcept {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx512f");
#else
  return false;
#endif
}

// Whether CORVANE_BYTE_PERMUTES code can run here, where permute() of two
// 64-byte vectors is a single instruction.
inline bool byte_permutes() noexcept {
#if defined(__x86_64__) && defined(__ELF__)
  static const bool supported = __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("avx512vbmi") &&
                                __builtin_cpu_supports("fma");
  return supported;
#else
  return false;
#endif
}

// Sixty-four bytes: half of the window that the byte permutes below read.
using Bytes = Vec<std::uint8_t, 4 * kLanes>;
inline constexpr std::size_t kPermuteWindow = 2 * sizeof(Bytes);

// Byte masks for the permutes below: the low byte of each 32-bit lane, of each 16-bit
// half, and the lanes 0..7 or 8..15 alone.
inline constexpr std::uint64_t kLaneLowBytes = 0x1111111111111111ull;
inline constexpr std::uint64_t kHalfLowBytes = 0x5555555555555555ull;
inline constexpr std::uint64_t kLowLanes = 0x00000000ffffffffull;
inline constexpr std::uint64_t kHighLanes = 0xffffffff00000000ull;

// Byte i (taken modulo 128) of the window `a` then `b`, as the permutes
// below pick it where they are not single instructions.
CORVANE_INLINE std::uint32_t window_byte(const Bytes& a, const Bytes& b, std::uint32_t i) noexcept {
  i %= kPermuteWindow;
  return i < sizeof a ? a[i] : b[i - sizeof a];
}

// Lane k: pick[k] with its low byte replaced by the byte of `a` then `b`
// (128 bytes) at the index that low byte holds (taken modulo 128).
CORVANE_BYTE_PERMUTES CORVANE_INLINE Words place_bytes(const Bytes& a, const Bytes& b,
                                                       const Words& pick) noexcept {
#if defined(__x86_64__) && defined(__ELF__)
  return reinterpret_cast<Words>(
      _mm512_mask2_permutex2var_epi8(reinterpret_cast<__m512i>(a), reinterpret_cast<__m512i>(pick),
                                     kLaneLowBytes, reinterpret_cast<__m512i>(b)));
#else
  Words out;
  for (std::size_t k = 0; k < kLanes; ++k) out[k] = (pick[k] & ~255u) | window_byte(a, b, pick[k]);
  return out;
#endif
}

// Byte i of the result, where bit i of Mask is set: the byte of `a` then
// `b` (128 bytes) at the index that byte i of `pick` holds (taken modulo
// 128); elsewhere 0.
template <std::uint64_t Mask>
CORVANE_BYTE_PERMUTES CORVANE_INLINE Words pick_bytes(const Bytes& a, const Bytes& b,
                                                      const Words& pick) noexcept {
#if defined(__x86_64__) && defined(__ELF__)
  return reinterpret_cast<Words>(_mm512_maskz_permutex2var_epi8(Mask, reinterpret_cast<__m512i>(a),
                                                                reinterpret_cast<__m512i>(pick),
                                                                reinterpret_cast<__m512i>(b)));
#else
  Words out;
  for (std::size_t k = 0; k < kLanes; ++k) {
    out[k] = 0;
    for (std::uint32_t i = 0; i < 4; ++i)
      if ((Mask >> (4 * k + i)) & 1)
        out[k] |= window_byte(a, b, (pick[k] >> (8 * i)) & 255) << (8 * i);
  }
  return out;
#endif
}

// Lane k: the bytes of `a` then `b` (128 bytes) at the indices in bits 0..7
// and 16..23 of pick[k] (taken modulo 128), each zero-extended into one
// 16-bit half of the lane.
CORVANE_BYTE_PERMUTES CORVANE_INLINE Words pick_pairs(const Bytes& a, const Bytes& b,
                                                      const Words& pick) noexcept {
  return pick_bytes<kHalfLowBytes>(a, b, pick);
}

// Lane k: the low 16-bit halves of x[k] and w[k] multiplied, plus the high
// halves multiplied, all as signed 16-bit numbers (exact in 32 bits).
CORVANE_BYTE_PERMUTES CORVANE_INLINE Vec<std::int32_t, kLanes> pair_products(
    const Words& x, const Words& w) noexcept {
#if defined(__x86_64__) && defined(__ELF__)
  return reinterpret_cast<Vec<std::int32_t, kLanes>>(
      _mm512_madd_epi16(reinterpret_cast<__m512i>(x), reinterpret_cast<__m512i>(w)));
#else
  Vec<std::int32_t, kLanes> out;
  for (std::size_t k = 0; k < kLanes; ++k) {
    const auto half = [](std::uint32_t v, unsigned shift) {
      return static_cast<std::int32_t>(static_cast<std::int16_t>(v >> shift));
    };
    out[k] = half(x[k], 0) * half(w[k], 0) + half(x[k], 16) * half(w[k], 16);
  }
  return out;
#endif
}

// a * b + c lane by lane, each rounded once, as std::fma.
CORVANE_BYTE_PERMUTES CORVANE_INLINE Floats fma_lanes(const Floats& a, const Floats& b,
                                                      const Floats& c) noexcept {
#if defined(__x86_64__) && defined(__ELF__)
  return reinterpret_cast<Floats>(_mm512_fmadd_ps(
      reinterpret_cast<__m512>(a), reinterpret_cast<__m512>(b), reinterpret_cast<__m512>(c)));
#else
  Floats out;
  for (std::size_t k = 0; k < kLanes; ++k) out[k] = __builtin_fmaf(a[k], b[k], c[k]);
  return out;
#endif
}

// Memory that starts on a cache line (64 bytes), so that whole-vector loads
// and stores at multiples of the vector width never straddle two lines.
// Elements are default-initialised: a vector of n floats is not zeroed.
inline constexpr std::size_t kLineBytes = 64;

template <class T>
struct LineAllocator {
  using value_type = T;
  LineAllocator() = default;
  template <class U>
  LineAllocator(const LineAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{kLineBytes}));
  }
  void deallocate(T* p, std::size_t) noexcept {
    ::operator delete(p, std::align_val_t{kLineBytes});
  }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
  template <class U>
  bool operator==(const LineAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LineVector = std::vector<T, LineAllocator<T>>;

}  // namespace corvane::simd
