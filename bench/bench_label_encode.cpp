// Throughput of label_encode against a plain single-threaded encoder, on 1,000,000 labels of
// 8 to 24 bytes at several cardinalities. The pool size comes from RAYON_NUM_THREADS:
//
//   RAYON_NUM_THREADS=2 build/native/bench_label_encode [rows] [reps]
//
// Prints a markdown table: median times, rows per second, and the speed-up over the plain
// encoder; then the same for each deduplication strategy forced on its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lib/label_encode.hpp"
#include "pool/pool.hpp"

using namespace vandra;

namespace {

struct Column {
    std::string bytes;
    std::vector<std::string_view> labels;
};

// `rows` labels drawn from `cardinality` distinct random alphanumeric texts of 8-24 bytes.
// cardinality >= rows gives every row its own label.
Column make_column(std::size_t rows, std::size_t cardinality, std::uint64_t seed) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::mt19937_64 rng(seed);
    const bool all_distinct = cardinality >= rows;
    const std::size_t distinct = all_distinct ? rows : cardinality;
    std::vector<std::string> texts;
    std::unordered_set<std::string> seen;
    texts.reserve(distinct);
    while (texts.size() < distinct) {
        std::string t(8 + rng() % 17, ' ');
        for (char& ch : t) ch = kAlphabet[rng() % 62];
        if (seen.insert(t).second) texts.push_back(std::move(t));
    }
    std::vector<std::size_t> pick(rows);
    for (std::size_t i = 0; i < rows; ++i) pick[i] = all_distinct ? i : rng() % distinct;
    if (all_distinct) std::shuffle(pick.begin(), pick.end(), rng);
    Column c;
    std::vector<std::size_t> offset(distinct);
    for (std::size_t d = 0; d < distinct; ++d) {
        offset[d] = c.bytes.size();
        c.bytes += texts[d];
    }
    c.labels.reserve(rows);
    for (std::size_t p : pick) c.labels.emplace_back(c.bytes.data() + offset[p], texts[p].size());
    return c;
}

// The plain way: owned copies, sort + unique, then a hash map from label to code.
std::vector<double> naive_encode(const std::vector<std::string_view>& labels) {
    std::vector<std::string> sorted(labels.begin(), labels.end());
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::unordered_map<std::string, std::uint64_t> code_of;
    code_of.reserve(sorted.size());
    std::uint64_t next = 0;
    for (const std::string& s : sorted) {
        if (!is_missing_label(s)) code_of.emplace(s, next++);
    }
    std::vector<double> codes(labels.size());
    std::string key;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        key.assign(labels[i]);
        auto it = code_of.find(key);
        codes[i] = it == code_of.end() ? std::numeric_limits<double>::quiet_NaN()
                                       : static_cast<double>(it->second);
    }
    return codes;
}

template <class F>
double median_seconds(int reps, F&& f) {
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        const auto start = std::chrono::steady_clock::now();
        f();
        t.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

volatile std::size_t g_sink;

// Throughput of `threads` threads of pure arithmetic relative to one: close to `threads` on an
// idle machine, lower where other processes hold cores, making scaling figures meaningless.
double parallel_capacity(std::size_t threads) {
    auto spin = [] {
        std::uint64_t x = 1;
        for (int i = 0; i < 100000000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
        g_sink = static_cast<std::size_t>(x);
    };
    auto timed = [&](std::size_t n) {
        return median_seconds(3, [&] {
            std::vector<std::thread> workers;
            for (std::size_t t = 0; t < n; ++t) workers.emplace_back(spin);
            for (auto& w : workers) w.join();
        });
    };
    return static_cast<double>(threads) * timed(1) / timed(threads);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::size_t cardinalities[] = {10, 1000, 100000, rows};
    const std::size_t threads = pool::num_threads();

    std::printf("rows %zu, pool threads %zu, median of %d runs (plain encoder: of 3)\n", rows,
                threads, reps);
    // Other processes on the machine skew the figures; the check runs before and after.
    const std::size_t probe = std::max<std::size_t>(threads, 2);
    auto machine_check = [&](const char* when) {
        std::printf(
            "machine check %s: %zu threads of arithmetic ran %.2fx one thread's throughput\n", when,
            probe, parallel_capacity(probe));
    };
    std::vector<Column> columns;
    for (std::size_t card : cardinalities) columns.push_back(make_column(rows, card, card));
    machine_check("before");
    std::printf("\n| cardinality | label_encode ms | rows/s | plain ms | rows/s | speed-up |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const auto& labels = columns[c].labels;
        const double ours =
            median_seconds(reps, [&] { g_sink = label_encode(labels).codes.size(); });
        const double plain = median_seconds(3, [&] { g_sink = naive_encode(labels).size(); });
        std::printf("| %zu%s | %.1f | %.3g | %.1f | %.3g | %.2fx |\n", cardinalities[c],
                    cardinalities[c] >= rows ? " (all distinct)" : "", ours * 1e3,
                    static_cast<double>(rows) / ours, plain * 1e3,
                    static_cast<double>(rows) / plain, plain / ours);
    }

    machine_check("after");
    std::printf("\nStrategies forced (ms):\n\n| cardinality | hash rows | sort rows |\n");
    std::printf("|---:|---:|---:|\n");
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const auto& labels = columns[c].labels;
        const double hashed = median_seconds(reps, [&] {
            g_sink =
                detail::label_encode_with(labels, detail::LabelStrategy::hash_rows).codes.size();
        });
        const double sorted = median_seconds(reps, [&] {
            g_sink =
                detail::label_encode_with(labels, detail::LabelStrategy::sort_rows).codes.size();
        });
        std::printf("| %zu | %.1f | %.1f |\n", cardinalities[c], hashed * 1e3, sorted * 1e3);
    }
    return 0;
}
