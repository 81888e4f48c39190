#include "check.hpp"
#include "lib/records.hpp"

using namespace vandra;

TEST_CASE("label map keeps one entry per distinct byte string") {
    LabelMap m(4);
    CHECK(m.try_emplace("a", Code{0}).second);
    CHECK(!m.try_emplace("a", Code{7}).second);
    CHECK(m.try_emplace(std::string_view("a\0", 2), Code{1}).second);
    CHECK(m.try_emplace("NaN", std::nullopt).second);
    CHECK(m.size() == 3);
    CHECK(**m.find("a") == 0);
    CHECK(**m.find(std::string_view("a\0", 2)) == 1);
    CHECK(!m.find("NaN")->has_value());
    CHECK(m.find("b") == nullptr);
}

TEST_CASE("column buffers start all-numeric and empty") {
    ColumnBuffers b(3);
    CHECK(b.cols() == 3);
    for (std::size_t j = 0; j < 3; ++j)
        CHECK(!b.is_object[j] && b.numbers[j].empty() && b.labels[j].empty());
}

CHECK_MAIN()
