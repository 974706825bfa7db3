#pragma once
// SipHash-1-3: one compression round per word, three finalisation rounds.

#include <cstdint>
#include <string_view>

namespace python::module {

struct SipKey {
    uint64_t k0;
    uint64_t k1;
};

class SipHasher13 {
public:
    explicit SipHasher13(SipKey key)
        : v0_(key.k0 ^ 0x736f6d6570736575ull),
          v1_(key.k1 ^ 0x646f72616e646f6dull),
          v2_(key.k0 ^ 0x6c7967656e657261ull),
          v3_(key.k1 ^ 0x7465646279746573ull) {}

    // Eight bytes, little-endian.
    void write_word(uint64_t word) {
        compress(word);
        length_ += 8;
    }
    // Finishes with `count` (fewer than 8) more bytes, little-endian in `tail`.
    uint64_t finish_with(uint64_t tail, size_t count) {
        compress(tail | (uint64_t{(length_ + count) & 0xFF} << 56));
        v2_ ^= 0xFF;
        round();
        round();
        round();
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

private:
    static uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
    void round() {
        v0_ += v1_; v1_ = rotl(v1_, 13); v1_ ^= v0_; v0_ = rotl(v0_, 32);
        v2_ += v3_; v3_ = rotl(v3_, 16); v3_ ^= v2_;
        v0_ += v3_; v3_ = rotl(v3_, 21); v3_ ^= v0_;
        v2_ += v1_; v1_ = rotl(v1_, 17); v1_ ^= v2_; v2_ = rotl(v2_, 32);
    }
    void compress(uint64_t word) {
        v3_ ^= word;
        round();
        v0_ ^= word;
    }

    uint64_t v0_, v1_, v2_, v3_;
    uint64_t length_ = 0;
};

// The hash of a str key: its bytes, then a 0xFF terminator byte, a word at a time.
inline uint64_t hash_key(SipKey key, std::string_view text) {
    SipHasher13 hasher(key);
    auto byte = [&](size_t i) { return uint64_t{static_cast<unsigned char>(text[i])}; };
    size_t at = 0;
    for (; text.size() - at >= 8; at += 8) {
        uint64_t word = 0;
        for (int i = 7; i >= 0; --i) word = (word << 8) | byte(at + static_cast<size_t>(i));
        hasher.write_word(word);
    }
    size_t rest = text.size() - at;  // 0 to 7 bytes, then the terminator
    uint64_t tail = uint64_t{0xFF} << (8 * rest);
    for (size_t i = 0; i < rest; ++i) tail |= byte(at + i) << (8 * i);
    if (rest == 7) {
        hasher.write_word(tail);
        return hasher.finish_with(0, 0);
    }
    return hasher.finish_with(tail, rest + 1);
}

}  // namespace python::module
