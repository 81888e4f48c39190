#include <cstdint>
#include <thread>
#include <vector>

#include "check.hpp"
#include "lib/scratch.hpp"

using namespace vandra;

namespace {

using Scope = scratch::CallScope<double>;
constexpr std::size_t kBig = std::size_t{1} << 18;  // doubles: well above the pool's minimum

}  // namespace

TEST_CASE("the next call takes the buffer a call gave back; a call that needs far less frees it") {
    const double* kept;
    {
        Scope call;
        std::vector<double> v = scratch::take<double>(kBig);
        CHECK(v.empty() && v.capacity() >= kBig);
        kept = v.data();
        scratch::give(std::move(v));
    }
    CHECK(scratch::kept_bytes<double>() >= kBig * sizeof(double));
    {
        Scope call;
        std::vector<double> v = scratch::take<double>(kBig / 2);
        CHECK(v.data() == kept && v.empty());
        scratch::give(std::move(v));
    }
    {
        Scope call;
        // A quarter of the kept buffer or less: made afresh, the kept one freed at the end.
        std::vector<double> small = scratch::take<double>(kBig / 8);
        CHECK(small.data() != kept);
    }
    CHECK(scratch::kept_bytes<double>() == 0);
}

TEST_CASE("a scratch vector's block goes to the next call's vector; outside a call it is freed") {
    const std::uint32_t* kept;
    {
        Scope call;
        scratch::vector<std::uint32_t> ids(kBig, 7);
        kept = ids.data();
    }
    CHECK(scratch::kept_block_bytes() >= kBig * sizeof(std::uint32_t));
    {
        Scope call;
        scratch::vector<std::uint32_t> ids(kBig / 2);  // value-initialised, whatever it reuses
        CHECK(ids.data() == kept && ids[0] == 0 && ids.back() == 0);
        scratch::vector<std::uint32_t> other(kBig);  // the block is taken: a new one
        CHECK(other.data() != kept);
    }
    { Scope call; }
    CHECK(scratch::kept_block_bytes() == 0);
    { scratch::vector<double> outside(kBig); }
    CHECK(scratch::kept_block_bytes() == 0);
}

TEST_CASE("nothing is kept beyond the limit, nor small buffers") {
    {
        Scope call;
        std::vector<char> tiny(100);
        scratch::give(std::move(tiny));
        CHECK(scratch::kept_bytes<char>() == 0);
        std::vector<double> a, b;
        a.reserve(scratch::kMaxBytes / sizeof(double) * 3 / 4);  // address space only
        b.reserve(scratch::kMaxBytes / sizeof(double) * 3 / 4);
        scratch::give(std::move(a));
        scratch::give(std::move(b));
        CHECK(scratch::kept_bytes<double>() <= scratch::kMaxBytes);
    }
    { Scope call; }
    CHECK(scratch::kept_bytes<double>() == 0);
}

TEST_CASE("threads take and give at once") {
    {
        Scope call;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([] {
                for (int k = 0; k < 50; ++k) {
                    std::vector<double> v = scratch::take<double>(kBig);
                    v.push_back(1.0);
                    scratch::give(std::move(v));
                    scratch::vector<std::uint32_t> ids(kBig + static_cast<std::size_t>(k));
                    ids.back() = 1;
                }
            });
        }
        for (auto& t : threads) t.join();
    }
    CHECK(scratch::kept_bytes<double>() <= 4 * 2 * kBig * sizeof(double));
    { Scope call; }
    CHECK(scratch::kept_bytes<double>() == 0 && scratch::kept_block_bytes() == 0);
}

CHECK_MAIN()
