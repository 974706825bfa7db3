#pragma once
// Byte vectors of 16 or 32 bytes (GCC and Clang vector extensions) for the passes over whole
// files. x86-64 processors with AVX2 take 32 bytes a step; every other machine, and builds
// with SKAV_PORTABLE_VECTORS, 16 (SSE2 or NEON).

#include <cstddef>
#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(SKAV_PORTABLE_VECTORS)
#define SKAV_WIDE_VECTORS 1
// A function compiled for AVX2: call it only where has_wide_vectors() says so.
#define SKAV_WIDE_TARGET __attribute__((target("avx2")))
#endif

namespace core {

// signed: a byte with its high bit set compares below zero, whatever char is. (A vector size
// cannot depend on a template parameter directly.)
template <size_t Width>
struct ByteVectorOf;
template <>
struct ByteVectorOf<16> {
    typedef signed char type __attribute__((vector_size(16)));
};
template <>
struct ByteVectorOf<32> {
    typedef signed char type __attribute__((vector_size(32)));
};
template <size_t Width>
using ByteVector = typename ByteVectorOf<Width>::type;

template <size_t Width>
[[gnu::always_inline]] inline ByteVector<Width> load_bytes(const char* at) noexcept {
    ByteVector<Width> bytes;
    std::memcpy(&bytes, at, Width);
    return bytes;
}

template <size_t Width>
[[gnu::always_inline]] inline ByteVector<Width> splat(char byte) noexcept {
    return ByteVector<Width>{} + static_cast<signed char>(byte);
}

// Whether any lane of a comparison's result is set.
template <size_t Width>
[[gnu::always_inline]] inline bool any_lane(ByteVector<Width> mask) noexcept {
    uint64_t words[Width / 8];
    std::memcpy(words, &mask, Width);
    uint64_t any = 0;
    for (uint64_t word : words) any |= word;
    return any != 0;
}

inline bool has_wide_vectors() noexcept {
#ifdef SKAV_WIDE_VECTORS
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
#else
    return false;
#endif
}

}  // namespace core
