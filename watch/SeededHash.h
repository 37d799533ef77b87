#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

// Keys that come off the network (names, ids, ports, addresses) are hashed with a seed drawn when
// their table is made, before any sandbox is entered: a fixed spread would let crafted queries
// pile up in one place and make each lookup walk them all.
inline std::uint64_t NewHashSeed()
{
    std::random_device random;
    return (std::uint64_t(random()) << 32) | random();
}

// Eight bytes at a time from the seed, each word multiplied in and its high bits folded down, the
// length last so that keys that differ only by trailing zero bytes differ.
inline std::uint64_t SeededHash(std::uint64_t nSeed, const void* pBytes, size_t nBytes)
{
    constexpr std::uint64_t MULTIPLIER = 0x9e3779b97f4a7c15u;
    std::uint64_t nHash = nSeed ^ 0xcbf29ce484222325u;
    const auto* p = static_cast<const unsigned char*>(pBytes);
    const auto Mix = [&nHash](std::uint64_t nWord) {
        nHash = (nHash ^ nWord) * MULTIPLIER;
        nHash ^= nHash >> 29;
    };
    size_t i = 0;
    for (; i + 8 <= nBytes; i += 8)
    {
        std::uint64_t nWord;
        std::memcpy(&nWord, p + i, 8);
        Mix(nWord);
    }
    std::uint64_t nLast = 0;
    std::memcpy(&nLast, p + i, nBytes - i);
    Mix(nLast);
    Mix(nBytes);
    return nHash;
}
