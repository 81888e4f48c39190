// Speed of label_encode and of the per-column step around it, and the memory a fit keeps.
//
//   build/native/bench_label_encode [rows] [reps]
//
// Columns of `rows` labels of 20 bytes, each row drawn at random from `cardinality` distinct
// labels (1,000,000 draws from 1,000,000 labels leave about 632,000 distinct), and one column
// of distinct labels only. Two layouts: "rows", every row its own copy of its label's bytes,
// back to back as in an Arrow column; "shared", equal rows viewing one copy, as cells that
// hold the same str object. bench/arrow_reference.py builds the same columns for pyarrow.
//
// Prints markdown tables: median times on pools of 1 and 2 threads (run alternately, so that
// load from other processes hits both alike) with the CPU time of the 1-thread runs, the
// variant that writes into a caller's buffer, a plain single-threaded encoder for scale, the
// two deduplication routes forced around their crossover, the 1-column encode_object_array
// call, candidate hash functions, and the memory a fit of 1,000,000 distinct labels holds.
#include <malloc.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "lib/byte_hash.hpp"
#include "lib/label_encode.hpp"
#include "pool/pool.hpp"
#include "python/encode_object_array.hpp"

using namespace vandra;

namespace {

constexpr std::size_t kLabelBytes = 20;

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Byte k of label d: one of 62 letters and digits (same rule as bench/arrow_reference.py).
char label_byte(std::size_t d, std::size_t k) {
    static const char kAlphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    return kAlphabet[splitmix64(d * kLabelBytes + k) % 62];
}

// Which label row i holds; cardinality 0: every row its own label.
std::size_t pick(std::size_t i, std::size_t cardinality) {
    return cardinality == 0 ? i : splitmix64(i ^ 0x5DEECE66Dull) % cardinality;
}

struct Column {
    std::string bytes;
    std::vector<std::string_view> labels;
    std::size_t distinct = 0;
};

Column make_column(std::size_t rows, std::size_t cardinality, bool shared) {
    Column c;
    const std::size_t labels = cardinality == 0 ? rows : cardinality;
    std::vector<unsigned char> used(labels, 0);
    c.labels.reserve(rows);
    if (shared) {
        c.bytes.resize(labels * kLabelBytes);
        for (std::size_t d = 0; d < labels; ++d) {
            for (std::size_t k = 0; k < kLabelBytes; ++k)
                c.bytes[d * kLabelBytes + k] = label_byte(d, k);
        }
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t d = pick(i, cardinality);
            c.distinct += !used[d];
            used[d] = 1;
            c.labels.emplace_back(c.bytes.data() + d * kLabelBytes, kLabelBytes);
        }
        return c;
    }
    c.bytes.resize(rows * kLabelBytes);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t d = pick(i, cardinality);
        c.distinct += !used[d];
        used[d] = 1;
        for (std::size_t k = 0; k < kLabelBytes; ++k)
            c.bytes[i * kLabelBytes + k] = label_byte(d, k);
        c.labels.emplace_back(c.bytes.data() + i * kLabelBytes, kLabelBytes);
    }
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

double seconds_of(const auto& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> t) {
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
        std::vector<double> t;
        for (int r = 0; r < 3; ++r) {
            t.push_back(seconds_of([&] {
                std::vector<std::thread> workers;
                for (std::size_t k = 0; k < n; ++k) workers.emplace_back(spin);
                for (auto& w : workers) w.join();
            }));
        }
        return median(t);
    };
    return static_cast<double>(threads) * timed(1) / timed(threads);
}

void machine_check(const char* when) {
    std::printf("machine check %s: 2 threads of arithmetic ran %.2fx one thread's throughput\n",
                when, parallel_capacity(2));
}

double process_cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
    double one;      // median wall-clock seconds on a pool of 1 thread
    double one_cpu;  // median CPU seconds of the process for those runs: far below `one`
                     // means other processes held the core
    double two;      // median wall-clock seconds on a pool of 2 threads
};

// f on pools of 1 and 2 threads, the two alternating.
Timing on_1_and_2_threads(int reps, const auto& f) {
    pool::Pool one(1), two(2);
    std::vector<double> t1, c1, t2;
    for (int r = 0; r < reps; ++r) {
        one.install([&] {
            const double cpu = process_cpu_seconds();
            t1.push_back(seconds_of(f));
            c1.push_back(process_cpu_seconds() - cpu);
        });
        two.install([&] { t2.push_back(seconds_of(f)); });
    }
    return {median(t1), median(c1), median(t2)};
}

void print_row(const char* name, const Timing& t) {
    std::printf("| %s | %.1f | %.1f | %.1f | %.2fx |", name, t.one * 1e3, t.one_cpu * 1e3,
                t.two * 1e3, t.one / t.two);
}

const char* describe(std::size_t cardinality, std::size_t distinct, char* buf, std::size_t n) {
    if (cardinality == 0) {
        std::snprintf(buf, n, "all %zu distinct", distinct);
    } else {
        std::snprintf(buf, n, "%zu of %zu", distinct, cardinality);
    }
    return buf;
}

// The hash label_encode used before: one 128-bit product per 16 bytes, each depending on the
// last, then two more. Kept to measure against.
std::uint64_t previous_hash(std::string_view v, std::uint64_t seed) {
    using namespace vandra::detail;
    const char* p = v.data();
    const std::size_t n = v.size();
    std::uint64_t s = seed ^ kHashK0, a, b;
    if (n <= 16) {
        if (n >= 8) {
            a = load64(p), b = load64(p + n - 8);
        } else if (n >= 4) {
            a = load32(p), b = load32(p + n - 4);
        } else if (n > 0) {
            a = (byte_at(p, 0) << 16) | (byte_at(p, n >> 1) << 8) | byte_at(p, n - 1), b = 0;
        } else {
            a = b = 0;
        }
    } else {
        std::size_t left = n;
        for (; left > 16; p += 16, left -= 16) {
            s = fold_mul(load64(p) ^ s ^ kHashK1, load64(p + 8) ^ s ^ kHashK2);
        }
        a = load64(p + left - 16), b = load64(p + left - 8);
    }
    const std::uint64_t m = fold_mul(a ^ s ^ kHashK1, b ^ s ^ kHashK2);
    return fold_mul(m ^ kHashK3, static_cast<std::uint64_t>(n) ^ s ^ kHashK0);
}

std::uint64_t fnv1a(std::string_view v) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : v) h = (h ^ c) * 0x100000001B3ull;
    return h;
}

// Nanoseconds per label of each candidate hash over 1,000,000 labels of the given lengths,
// laid out back to back.
void hash_functions() {
    std::printf("\nHash functions, ns per label (1,000,000 labels, median of 5):\n\n");
    std::printf("| label bytes | label_encode's | previous | std::hash | FNV-1a |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    const struct {
        const char* name;
        std::size_t min, max;
    } sizes[] = {{"3-8", 3, 8}, {"20", 20, 20}, {"100", 100, 100}};
    for (const auto& sz : sizes) {
        std::string bytes;
        std::vector<std::string_view> labels;
        std::vector<std::size_t> ends;
        for (std::size_t d = 0; d < 1000000; ++d) {
            const std::size_t len = sz.min + splitmix64(d) % (sz.max - sz.min + 1);
            for (std::size_t k = 0; k < len; ++k) bytes += label_byte(d, k);
            ends.push_back(bytes.size());
        }
        for (std::size_t d = 0, start = 0; d < ends.size(); start = ends[d++]) {
            labels.emplace_back(bytes.data() + start, ends[d] - start);
        }
        auto ns = [&](const auto& h) {
            std::vector<double> t;
            for (int r = 0; r < 5; ++r) {
                t.push_back(seconds_of([&] {
                    std::uint64_t x = 0;
                    for (std::string_view v : labels) x ^= h(v);
                    g_sink = static_cast<std::size_t>(x);
                }));
            }
            return median(t) * 1e9 / static_cast<double>(labels.size());
        };
        const ByteHash ours;
        const std::uint64_t seed = process_hash_seed();
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f |\n", sz.name, ns(ours),
                    ns([seed](std::string_view v) { return previous_hash(v, seed); }),
                    ns(std::hash<std::string_view>{}), ns(fnv1a));
    }
}

std::size_t resident_bytes() {
    malloc_trim(0);  // freed memory goes back first, so only live blocks count
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// What a fit of `rows` distinct labels of 8 to 19 bytes (13.5 on average) keeps alive, by the
// process's resident memory with the fit and after dropping it.
void fit_memory(std::size_t rows) {
    std::string bytes;
    std::vector<std::size_t> ends;
    for (std::size_t d = 0; d < rows; ++d) {
        const std::size_t len = 8 + splitmix64(~d) % 12;
        for (std::size_t k = 0; k < len; ++k) bytes += label_byte(d, k);
        ends.push_back(bytes.size());
    }
    ColumnBuffers buffers(1);
    buffers.is_object[0] = true;
    for (std::size_t d = 0, start = 0; d < rows; start = ends[d++]) {
        buffers.labels[0].emplace_back(bytes.data() + start, ends[d] - start);
    }
    std::vector<double> cells(rows, 0.0);
    auto fit = std::make_unique<FitState>(encode_object_array(rows, 1, buffers, cells.data()));
    const std::size_t held = fit->code_maps.at(0).bytes_held();
    const std::size_t with_fit = resident_bytes();
    fit.reset();
    const std::size_t without = resident_bytes();
    const double mib = 1.0 / (1 << 20);
    std::printf(
        "\nFit of %zu distinct labels, %.1f MiB of label bytes: resident memory %.1f MiB "
        "with the fit, %.1f MiB after dropping it: the fit holds %.1f MiB, its code map "
        "%.1f MiB of heap (bound: 1.5 x bytes + 16 B per label = %.1f MiB)\n",
        rows, static_cast<double>(bytes.size()) * mib, static_cast<double>(with_fit) * mib,
        static_cast<double>(without) * mib,
        (static_cast<double>(with_fit) - static_cast<double>(without)) * mib,
        static_cast<double>(held) * mib,
        (1.5 * static_cast<double>(bytes.size()) + 16.0 * static_cast<double>(rows)) * mib);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::size_t cardinalities[] = {8, 1000, 100000, rows, 0};

    std::printf("rows %zu of %zu-byte labels, median of %d runs (plain encoder: of 3)\n", rows,
                kLabelBytes, reps);
    machine_check("before");
    char buf[64];
    const char* header =
        "| distinct of cardinality | 1 thread | 1 thread, CPU | 2 threads | speed-up |";
    for (bool shared : {false, true}) {
        std::printf("\nlabel_encode, layout \"%s\" (ms):\n\n%s", shared ? "shared" : "rows",
                    header);
        std::printf("%s\n|---:|---:|---:|---:|---:|%s\n",
                    shared ? "" : " into a caller's buffer, 1 thread | plain, 1 thread |",
                    shared ? "" : "---:|---:|");
        for (std::size_t card : cardinalities) {
            const Column col = make_column(rows, card, shared);
            print_row(describe(card, col.distinct, buf, 64), on_1_and_2_threads(reps, [&] {
                          g_sink = label_encode(col.labels).codes.size();
                      }));
            if (!shared) {
                std::vector<double> codes(rows);
                const Timing into = on_1_and_2_threads(
                    reps, [&] { g_sink = label_encode(col.labels, codes.data()).size(); });
                std::vector<double> t;
                for (int r = 0; r < 3; ++r) {
                    t.push_back(seconds_of([&] { g_sink = naive_encode(col.labels).size(); }));
                }
                std::printf(" %.1f | %.1f |", into.one * 1e3, median(t) * 1e3);
            }
            std::printf("\n");
        }
    }

    std::printf("\nRoutes forced, layout \"rows\", 1 thread (ms):\n\n");
    std::printf("| distinct of cardinality | chunk tables | hash partitions |\n|---:|---:|---:|\n");
    for (std::size_t card :
         {std::size_t{2000}, std::size_t{10000}, std::size_t{20000}, std::size_t{100000}}) {
        const Column col = make_column(rows, card, false);
        std::vector<double> codes(rows);
        double ms[2];
        for (auto s :
             {detail::LabelStrategy::chunk_tables, detail::LabelStrategy::hash_partitions}) {
            ms[s == detail::LabelStrategy::hash_partitions] =
                on_1_and_2_threads(
                    reps,
                    [&] { g_sink = detail::label_encode_with(col.labels, codes.data(), s).size(); })
                    .one *
                1e3;
        }
        std::printf("| %s | %.1f | %.1f |\n", describe(card, col.distinct, buf, 64), ms[0], ms[1]);
    }

    std::printf("\nencode_object_array, 1 text column, layout \"rows\" (ms):\n\n%s\n", header);
    std::printf("|---:|---:|---:|---:|---:|\n");
    for (std::size_t card : cardinalities) {
        const Column col = make_column(rows, card, false);
        ColumnBuffers buffers(1);
        buffers.is_object[0] = true;
        buffers.labels[0] = col.labels;
        std::vector<double> cells(rows);
        print_row(
            describe(card, col.distinct, buf, 64), on_1_and_2_threads(reps, [&] {
                g_sink = encode_object_array(rows, 1, buffers, cells.data()).encoded_columns.size();
            }));
        std::printf("\n");
    }
    machine_check("after");
    hash_functions();
    fit_memory(1000000);
    return 0;
}
