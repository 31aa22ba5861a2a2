#include "host/wire/fcs.h"

#include <zlib.h>

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
// glibc's header is C, which GCC's C++ accepts: it spells the result type _Bool, which clang's
// C++ does not know.
#if defined(__clang__)
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#else
#include <sys/platform/x86.h>
#endif
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
// bytes not folded have the CRC of the whole frame, at most 31 bytes, finished eight at a time
// from tables (zlib's setup costs more than those few bytes do).

// The reflected CRC-32 tables for eight bytes a step: kTables[0][b] is b's remainder, and
// kTables[k][b] that of b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        t[0][b] = c;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}
constexpr auto kTables = MakeTables();

// Runs the register `c` (not inverted) over `length` bytes.
uint32_t TableCrc(uint32_t c, const uint8_t* data, size_t length) {
    for (; length >= 8; data += 8, length -= 8) {
        uint64_t v;
        std::memcpy(&v, data, 8);  // little-endian: the first byte lowest
        v ^= c;
        c = kTables[7][v & 0xFF] ^ kTables[6][(v >> 8) & 0xFF] ^ kTables[5][(v >> 16) & 0xFF] ^
            kTables[4][(v >> 24) & 0xFF] ^ kTables[3][(v >> 32) & 0xFF] ^
            kTables[2][(v >> 40) & 0xFF] ^ kTables[1][(v >> 48) & 0xFF] ^ kTables[0][v >> 56];
    }
    for (; length > 0; ++data, --length) c = kTables[0][(c ^ *data) & 0xFF] ^ (c >> 8);
    return c;
}

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
// The same fold across four blocks (512 bits): A * x^512 = l * x^576 + h * x^512, congruent to
// l * (x^575 mod P) * x + h * (x^511 mod P) * x. Four accumulators, each a block apart, fold
// independently over 64 bytes a step, so the multiplies of one step do not wait on each other.
constexpr uint64_t kFold4Low = Reverse64(PowerModP(575));
constexpr uint64_t kFold4High = Reverse64(PowerModP(511));

// `acc` moved on by the distance `k` holds the constants for, added to `next`.
[[gnu::target("pclmul,sse4.1")]] inline __m128i Fold(__m128i acc, __m128i k, __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(acc, k, 0x00);   // l * rev(x^(D+63) mod P)
    const __m128i high = _mm_clmulepi64_si128(acc, k, 0x11);  // h * rev(x^(D-1) mod P)
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

[[gnu::target("pclmul,sse4.1")]] uint32_t FoldedCrc(const uint8_t* data, size_t length) {
    const __m128i k = _mm_set_epi64x(static_cast<long long>(kFoldHigh), static_cast<long long>(kFoldLow));
    auto load = [data](size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    };
    // Starting at all ones is the same as inverting the first 32 bits of the frame.
    __m128i acc = _mm_xor_si128(load(0), _mm_cvtsi32_si128(-1));
    size_t at = 16;
    if (length >= 128) {
        const __m128i k4 = _mm_set_epi64x(static_cast<long long>(kFold4High),
                                          static_cast<long long>(kFold4Low));
        __m128i acc1 = load(16), acc2 = load(32), acc3 = load(48);
        for (at = 64; at + 64 <= length; at += 64) {
            acc = Fold(acc, k4, load(at));
            acc1 = Fold(acc1, k4, load(at + 16));
            acc2 = Fold(acc2, k4, load(at + 32));
            acc3 = Fold(acc3, k4, load(at + 48));
        }
        // The four, a block apart, into one: each folds across one block into the next.
        acc = Fold(Fold(Fold(acc, k, acc1), k, acc2), k, acc3);
    }
    for (; at + 16 <= length; at += 16) acc = Fold(acc, k, load(at));
    alignas(16) uint8_t folded[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(folded), acc);
    // The register starts at zero: the fold took the initial ones in already.
    const uint32_t c = TableCrc(0, folded, sizeof folded);
    return ~TableCrc(c, data + at, length - at);
}

// Asked of the C library, which read the processor's features as the program started. libgcc's
// __builtin_cpu_supports would link its own probe, a constructor of a dozen CPUID instructions
// that every run pays at start-up, and a virtual machine answers each CPUID slowly.
bool HasCarryLessMultiply() {
    static const bool has = CPU_FEATURE_ACTIVE(PCLMULQDQ) && CPU_FEATURE_ACTIVE(SSE4_1);
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
