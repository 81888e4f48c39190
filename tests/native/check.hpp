// Minimal assertion helpers for the native tests: each test binary registers cases with
// TEST_CASE, runs them all, prints "N passed, N failed" and exits non-zero on any failure.
#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

struct Failure : std::exception {
    std::string what_;
    explicit Failure(std::string w) : what_(std::move(w)) {}
    const char* what() const noexcept override { return what_.c_str(); }
};

struct Registrar {
    Registrar(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

inline int run_all() {
    int passed = 0, failed = 0;
    for (auto& c : registry()) {
        try {
            c.body();
            ++passed;
        } catch (const std::exception& e) {
            ++failed;
            std::printf("FAILED %s: %s\n", c.name, e.what());
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST_CASE(name)                                                                        \
    static void CHECK_CAT(check_case_, __LINE__)();                                            \
    static check::Registrar CHECK_CAT(check_reg_, __LINE__)(name,                              \
                                                            CHECK_CAT(check_case_, __LINE__)); \
    static void CHECK_CAT(check_case_, __LINE__)()

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond))                                                                      \
            throw check::Failure(std::string(__FILE__) + ":" + std::to_string(__LINE__) + \
                                 ": " #cond);                                             \
    } while (0)

#define CHECK_MAIN()             \
    int main() {                 \
        return check::run_all(); \
    }
