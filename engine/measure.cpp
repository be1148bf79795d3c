// The measure of s through t, from five compressed sizes, and the mean of two
// measures.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "vendrask.hpp"

namespace vendrask {

ProbeStatus pairSizes(ProbeArena* arena, const char* t, std::size_t n_t, const char* s,
                      std::size_t n_s, PairSizes& sizes) {
    // Order matters: the first failing probe decides the message.
    const struct {
        const char* dictionary;
        std::size_t dictionaryLength;
        const char* data;
        std::size_t dataLength;
        std::int32_t* size;
    } probes[] = {
        {nullptr, 0, s, n_s, &sizes.k_s_e}, {t, n_t, s, n_s, &sizes.k_s_t},
        {s, n_s, t, n_t, &sizes.k_t_s},     {s, n_s, s, n_s, &sizes.k_s_s},
        {t, n_t, t, n_t, &sizes.k_t_t},
    };
    for (const auto& probe : probes) {
        const ProbeStatus status = probeSize(arena, probe.dictionary, probe.dictionaryLength,
                                             probe.data, probe.dataLength, *probe.size);
        if (status != ProbeStatus::Ok) return status;
    }
    return ProbeStatus::Ok;
}

bool withinJointLimit(std::size_t n_t, std::size_t n_s) {
    return n_t <= JOINT_SIZE_LIMIT && n_s <= JOINT_SIZE_LIMIT - n_t;  // no sum that could wrap
}

bool hasZeroSize(const PairSizes& k) {
    return k.k_s_e == 0 || k.k_s_t == 0 || k.k_t_s == 0 || k.k_s_s == 0 || k.k_t_t == 0;
}

double quotient(const PairSizes& k) {
    // 64-bit sums: no overflow whatever the sizes.
    std::int64_t denominator = std::int64_t{k.k_s_e} + k.k_t_s - k.k_s_s - k.k_t_t;
    if (denominator <= 0) denominator = 1;
    const std::int64_t numerator = std::int64_t{k.k_s_e} - k.k_s_t;
    const double x = static_cast<double>(numerator) / static_cast<double>(denominator);
    if (x < 0) return 0.0;
    if (x > MEASURE_CEILING) return MEASURE_CLAMPED;
    return x;
}

double measureFromSizes(const PairSizes& k) {
    if (k.k_s_e <= 0 || k.k_s_t <= 0 || k.k_t_s <= 0 || k.k_s_s <= 0 || k.k_t_t <= 0)
        return std::nan("");
    return quotient(k);
}

double measureCore(const char* t, std::size_t n_t, const char* s, std::size_t n_s) {
    if (t == nullptr || s == nullptr) {
        setLastError(message::NULL_POINTER);
        return -1.0;
    }
    if (firstMeasurePending()) readDebugEnvironment();
    if (n_t == n_s && (t == s || std::memcmp(t, s, n_t) == 0)) return 1.0;
    if (!withinJointLimit(n_t, n_s)) {
        setLastError(message::JOINT_SIZE);
        return -1.0;
    }

    PairSizes k;
    const ProbeStatus status = pairSizes(&moduleArena(), t, n_t, s, n_s, k);
    if (status != ProbeStatus::Ok) {
        setLastError(probeMessage(status));
        return -1.0;
    }
    if (debugMode()) {
        // Both lengths are at most JOINT_SIZE_LIMIT here, so they fit an int.
        std::fprintf(stderr,
                     "vendrask, after measure: l_s: %d, l_t: %d, k_s_e: %ld, k_s_t: %ld, "
                     "k_t_s: %ld, k_s_s: %ld, k_t_t: %ld\n",
                     static_cast<int>(n_s), static_cast<int>(n_t), long{k.k_s_e}, long{k.k_s_t},
                     long{k.k_t_s}, long{k.k_s_s}, long{k.k_t_t});
    }
    if (hasZeroSize(k)) {
        setLastError(message::ZERO_SIZE);
        return -1.0;
    }
    return quotient(k);
}

double adjustCore(float a, float b) {
    return (static_cast<double>(a) + static_cast<double>(b)) * 0.5;
}

}  // namespace vendrask
