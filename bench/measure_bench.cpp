// measureCore with zlib's memory from the module arena (what measureCore does)
// and from zlib's default allocator, at four joint sizes, on 128 different
// pairs cut from the licence texts in /usr/share/common-licenses.
//
// The arena benchmarks make the same calls in one of two orders: "cycled" runs
// through all pairs again and again; "repeated" measures each pair many times
// before moving on, as a benchmark of one pair would.
// The repeated order lets the branch predictor learn the input, so it
// understates what a real workload pays; both are shown so the difference is
// visible. The table at the end gives the medians side by side with ratios.
//
//   cmake -S . -B build/bench -G Ninja -DVENDRASK_BENCH=ON && cmake --build build/bench
//   build/bench/bench/measure_bench [--benchmark_repetitions=N] [google-benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "vendrask.hpp"

namespace {

const char* const CORPUS_DIRECTORY = "/usr/share/common-licenses";
constexpr std::size_t PAIRS = 128;
constexpr std::int64_t JOINT_SIZES[] = {100, 1024, 8192, 32767};

// How often the repeated order measures each pair running: dozens of runs let
// a branch predictor learn an input; fewer for the larger pairs keeps a run
// short (0.1-0.7 s here), and there one measure is long enough to learn from.
std::size_t repeatsInARow(std::int64_t joint) { return joint <= 1024 ? 64 : joint <= 8192 ? 16 : 8; }

// The regular files of the directory (not the symlinks, which repeat them),
// in name order, concatenated. bench/compare.py builds the same bytes.
std::string readCorpus() {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(CORPUS_DIRECTORY, error))
        if (!entry.is_symlink() && entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string corpus;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        corpus.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return corpus;
}

// splitmix64: the same offsets as bench/compare.py, so both cut the same pairs.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
};

struct Pair {
    std::string t, s;
};

// PAIRS different pairs of `joint` bytes together, each string cut from a
// random place in the corpus.
std::vector<Pair> cutPairs(const std::string& corpus, std::size_t joint) {
    const std::size_t n_t = joint / 2, n_s = joint - n_t;
    SplitMix64 random{joint};
    std::vector<Pair> pairs;
    while (pairs.size() < PAIRS) {
        Pair pair{corpus.substr(random.next() % (corpus.size() - n_t + 1), n_t),
                  corpus.substr(random.next() % (corpus.size() - n_s + 1), n_s)};
        if (pair.t != pair.s) pairs.push_back(std::move(pair));
    }
    return pairs;
}

// Which pair call number `call` measures: the next of the cycle, or the same
// pair `repeats` times running. A run makes PAIRS * repeats calls, so both
// orders measure every pair equally often.
std::size_t pairIndex(std::size_t call, bool cycled, std::size_t repeats) {
    return (cycled ? call : call / repeats) % PAIRS;
}

void withArena(benchmark::State& state, const std::vector<Pair>& pairs, bool cycled) {
    const std::size_t repeats = repeatsInARow(state.range(0));
    std::size_t call = 0;
    for (auto _ : state) {
        const Pair& p = pairs[pairIndex(call++, cycled, repeats)];
        benchmark::DoNotOptimize(vendrask::measureCore(p.t.data(), p.t.size(), p.s.data(), p.s.size()));
    }
}

void withDefaultAllocator(benchmark::State& state, const std::vector<Pair>& pairs) {
    std::size_t call = 0;
    for (auto _ : state) {
        const Pair& p = pairs[call++ % PAIRS];
        vendrask::PairSizes k;
        vendrask::pairSizes(nullptr, p.t.data(), p.t.size(), p.s.data(), p.s.size(), k);
        benchmark::DoNotOptimize(vendrask::quotient(k));
    }
}

// The console output, then one table of medians per joint size with ratios.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!run.error_occurred && (single || median))
                microseconds_[run.run_name.function_name][run.run_name.args] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        // CPU time: on a shared machine the wall clock also counts the time
        // other processes had the core.
        std::printf("\nCPU microseconds per measure (medians of the repetitions); cycled/repeated:"
                    "\nwhat repeating one pair hides; default/arena: zlib's default allocator"
                    "\nagainst the arena, both cycled\n\n");
        std::printf("%10s %14s %14s %16s %14s %14s\n", "joint size", "arena repeated", "arena cycled",
                    "cycled/repeated", "default cycled", "default/arena");
        for (std::int64_t joint : JOINT_SIZES) {
            const std::string arg = std::to_string(joint);
            const double repeated = find("arena/repeated", arg), cycled = find("arena/cycled", arg);
            const double fallback = find("default/cycled", arg);
            std::printf("%10s %14s %14s %16s %14s %14s\n", arg.c_str(), time(repeated).c_str(),
                        time(cycled).c_str(), ratio(cycled, repeated).c_str(), time(fallback).c_str(),
                        ratio(fallback, cycled).c_str());
        }
    }

private:
    // "-" for a benchmark that did not run (filtered out, or failed).
    static std::string time(double microseconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", microseconds);
        return microseconds > 0 ? text : "-";
    }
    static std::string ratio(double a, double b) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2fx", a / b);
        return a > 0 && b > 0 ? text : "-";
    }

    double find(const std::string& name, const std::string& arg) const {
        const auto family = microseconds_.find(name);
        if (family == microseconds_.end()) return 0;
        const auto value = family->second.find(arg);
        return value == family->second.end() ? 0 : value->second;
    }

    std::map<std::string, std::map<std::string, double>> microseconds_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string corpus = readCorpus();
    if (corpus.size() < 2 * static_cast<std::size_t>(JOINT_SIZES[std::size(JOINT_SIZES) - 1])) {
        std::fprintf(stderr, "measure_bench: needs the licence texts in %s\n", CORPUS_DIRECTORY);
        return 1;
    }
    std::map<std::int64_t, std::vector<Pair>> pairs;
    for (std::int64_t joint : JOINT_SIZES) pairs[joint] = cutPairs(corpus, static_cast<std::size_t>(joint));

    for (std::int64_t joint : JOINT_SIZES) {
        const auto& these = pairs[joint];
        for (bool cycled : {false, true})
            benchmark::RegisterBenchmark(cycled ? "arena/cycled" : "arena/repeated",
                                         [&these, cycled](benchmark::State& s) { withArena(s, these, cycled); })
                ->Arg(joint)->Iterations(static_cast<std::int64_t>(PAIRS * repeatsInARow(joint)))->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("default/cycled",
                                     [&these](benchmark::State& s) { withDefaultAllocator(s, these); })
            ->Arg(joint)->Iterations(static_cast<std::int64_t>(PAIRS * repeatsInARow(joint)))->Unit(benchmark::kMicrosecond);
    }

    // Unless told otherwise: repetitions in random order, so that drifts in
    // the load of a shared machine hit every variant alike.
    std::vector<char*> arguments(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5", interleave = "--benchmark_enable_random_interleaving=true";
    const auto given = [&](const char* flag) {
        return std::any_of(argv + 1, argv + argc, [&](const char* a) { return std::strncmp(a, flag, std::strlen(flag)) == 0; });
    };
    if (!given("--benchmark_repetitions")) arguments.push_back(repetitions.data());
    if (!given("--benchmark_enable_random_interleaving")) arguments.push_back(interleave.data());
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
