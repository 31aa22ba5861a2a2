#include "host/wire/fcs.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace host::wire {

namespace {

uint32_t ZlibCrc(uint32_t crc, const uint8_t* data, size_t length) {
    return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(length)));
}

#if defined(__x86_64__)

// Folding with carry-less multiplication. In the reflected order a 16-byte block loaded little-
// endian holds the coefficient of x^(127-j) in bit j: its low half is l(x) * x^64, its high half
// h(x), each half bit-reversed. A block A followed 128 bits later by block B stands for
// A * x^128 + B = l * x^192 + h * x^128 + B, and modulo P that is l * (x^191 mod P) * x +
// h * (x^127 mod P) * x + B. A carry-less product of two bit-reversed 64-bit halves lands one
// bit short of the block order, which is the factor x, so one PCLMULQDQ per half folds A into
// B. The folded block is congruent to all the blocks before it; its 16 bytes followed by the
// bytes not folded have the CRC of the whole frame, which zlib finishes over at most 31 bytes.

constexpr uint64_t kPoly = 0x104C11DB7;  // x^32 + ... + 1, bit d the coefficient of x^d

constexpr uint64_t PowerModP(unsigned n) {
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (uint64_t{1} << 32)) r ^= kPoly;
    }
    return r;
}

constexpr uint64_t Reverse64(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 64; ++i) r |= ((v >> i) & 1) << (63 - i);
    return r;
}

constexpr uint64_t kFoldLow = Reverse64(PowerModP(191));
constexpr uint64_t kFoldHigh = Reverse64(PowerModP(127));

[[gnu::target("pclmul,sse4.1")]] uint32_t FoldedCrc(const uint8_t* data, size_t length) {
    const __m128i k = _mm_set_epi64x(static_cast<long long>(kFoldHigh), static_cast<long long>(kFoldLow));
    // Starting at all ones is the same as inverting the first 32 bits of the frame.
    __m128i acc = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)),
                                _mm_cvtsi32_si128(-1));
    size_t at = 16;
    for (; at + 16 <= length; at += 16) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const __m128i low = _mm_clmulepi64_si128(acc, k, 0x00);    // l * rev(x^191 mod P)
        const __m128i high = _mm_clmulepi64_si128(acc, k, 0x11);   // h * rev(x^127 mod P)
        acc = _mm_xor_si128(_mm_xor_si128(low, high), next);
    }
    alignas(16) uint8_t folded[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(folded), acc);
    // zlib's crc32(c, ...) starts from ~c: all ones in gives the plain remainder the fold kept.
    const uint32_t crc = ZlibCrc(0xFFFFFFFFu, folded, sizeof folded);
    return ZlibCrc(crc, data + at, length - at);
}

bool HasCarryLessMultiply() {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return has;
}

#endif

}  // namespace

uint32_t FrameCheckSequence(const uint8_t* data, size_t length) {
#if defined(__x86_64__)
    if (length >= 32 && HasCarryLessMultiply()) return FoldedCrc(data, length);
#endif
    return ZlibCrc(0, data, length);
}

}  // namespace host::wire
