// Fuzzes the engine with one input split into a flag byte, a split point, t
// and s; the flag may also send part of the input through the debug switch.
// Checks the result's invariants and that every stream gave back its memory.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vendrask.hpp"

namespace {

bool isFixedMessage(const char* message) {
    namespace m = vendrask::message;
    for (const char* known : {m::NULL_POINTER, m::JOINT_SIZE, m::ZERO_SIZE, m::DEFLATE_INIT,
                              m::DEFLATE_SET_DICTIONARY, m::DEFLATE_STEP, m::DEFLATE_END})
        if (message == known) return true;
    return false;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t flags = input[0];
    const std::size_t rest = size - 3;
    const std::size_t split = (std::size_t{input[1]} << 8 | input[2]) % (rest + 1);
    const char* t = reinterpret_cast<const char*>(input + 3);
    const char* s = t + split;
    const std::size_t n_t = split, n_s = rest - split;

    if (flags & 1) {
        const std::string text(t, n_t);  // stops at the first zero byte, as a C string does
        vendrask::debugSwitch(text.c_str());
        check(vendrask::debugMode() == (std::strcmp(text.c_str(), "TRACEUP") == 0));
    }
    if (flags & 2) vendrask::debugSwitch(nullptr);

    vendrask::setLastError(nullptr);
    const double x = (flags & 4) ? vendrask::measureCore(t, n_t, t, n_t)
                                 : vendrask::measureCore(t, n_t, s, n_s);
    const bool identical = (flags & 4) || (n_t == n_s && std::memcmp(t, s, n_t) == 0);
    if (identical) {
        check(x == 1.0 && vendrask::lastError() == nullptr);
    } else if (x == -1.0) {
        check(isFixedMessage(vendrask::lastError()));
        check(n_t + n_s > vendrask::JOINT_SIZE_LIMIT);  // nothing else can fail here
    } else {
        check(x >= 0.0 && x <= vendrask::MEASURE_CLAMPED && vendrask::lastError() == nullptr);
    }
    check(vendrask::moduleArena().live == 0);
    return 0;
}
