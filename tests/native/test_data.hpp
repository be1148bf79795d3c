#pragma once

#include <random>
#include <string>

// Deterministic incompressible bytes.
inline std::string randomBytes(std::size_t n, unsigned seed = 1) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xff);
    return bytes;
}

inline std::string proseLike(std::size_t n) {
    static const std::string words = "the quick brown fox jumps over the lazy dog while ";
    std::string text;
    for (std::size_t i = 0; text.size() < n; ++i) text += words.substr(i % 7, 20 + i % 13);
    return text.substr(0, n);
}
