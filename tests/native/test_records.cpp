#include <cstring>
#include <string>
#include <utility>

#include "check.hpp"
#include "code_map_equal.hpp"
#include "lib/records.hpp"

using namespace vandra;
using namespace std::string_literals;

namespace {

CodeMap make_map(std::initializer_list<std::string> labels) {
    std::size_t bytes = 0;
    for (const auto& s : labels) bytes += s.size();
    CodeMap m(labels.size(), bytes);
    std::size_t at = 0, c = 0;
    for (const auto& s : labels) {
        std::memcpy(m.bytes() + at, s.data(), s.size());
        at += s.size();
        m.offsets()[++c] = at;
    }
    return m;
}

}  // namespace

TEST_CASE("code map: labels by code, copies, moves, bytes held") {
    const CodeMap none;
    CHECK(none.empty() && none.size() == 0 && none.bytes_held() == 0);

    CodeMap m = make_map({"", "a", "a\0"s, "\xff"});
    CHECK(m.size() == 4 && m.label(0).empty() && m.label(2) == "a\0"s && m.label(3) == "\xff");
    CHECK(m.bytes_held() == 5 * sizeof(std::uint64_t) + 4);

    const CodeMap copy = m;
    CodeMap moved = std::move(m);
    CHECK(copy == moved && moved.label(1) == "a" && copy.label(1).data() != moved.label(1).data());
    CHECK(m.empty() && m.bytes_held() == 0 && !(m == moved));  // moved-from: empty, usable
    m = copy;
    CHECK(m == copy && !(make_map({"a", "b"}) == make_map({"a", "c"})));
    CHECK(make_map({""}).bytes_held() > 0 && make_map({""}).label(0).empty());
}

TEST_CASE("column buffers start all-numeric and empty") {
    ColumnBuffers b(3);
    CHECK(b.cols() == 3);
    for (std::size_t j = 0; j < 3; ++j)
        CHECK(!b.is_object[j] && b.numbers[j].empty() && b.labels[j].empty());
}

CHECK_MAIN()
