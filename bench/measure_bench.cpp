// measureCore on pairs of four joint sizes, with zlib's memory from the
// module arena (what measureCore does) and from zlib's default allocator.
//   cmake -S . -B build/bench -DVENDRASK_BENCH=ON && cmake --build build/bench
//   build/bench/bench/measure_bench
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "vendrask.hpp"

namespace {

// Two related strings of about `joint` bytes together: words from one small
// vocabulary, so that each string says something about the other.
std::pair<std::string, std::string> pair(std::size_t joint) {
    std::mt19937 generator(static_cast<unsigned>(joint));
    const char* words[] = {"measure ", "string ", "deflate ", "window ", "the ", "of ", "bytes ",
                           "dictionary ", "sizes ", "a ", "compressed ", "through "};
    std::string text;
    while (text.size() < joint) text += words[generator() % std::size(words)];
    text.resize(joint);
    return {text.substr(0, joint / 2), text.substr(joint / 2)};
}

void withArena(benchmark::State& state) {
    const auto [t, s] = pair(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(vendrask::measureCore(t.data(), t.size(), s.data(), s.size()));
}

void withDefaultAllocator(benchmark::State& state) {
    const auto [t, s] = pair(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        vendrask::PairSizes k;
        vendrask::pairSizes(nullptr, t.data(), t.size(), s.data(), s.size(), k);
        benchmark::DoNotOptimize(vendrask::quotient(k));
    }
}

}  // namespace

BENCHMARK(withArena)->Arg(100)->Arg(1024)->Arg(8192)->Arg(32767);
BENCHMARK(withDefaultAllocator)->Arg(100)->Arg(1024)->Arg(8192)->Arg(32767);
