// The failure of an internal consistency condition, thrown anywhere below an entry point.
// Pure C++: the entry points turn it into the module's internal-error exception
// (python/errors.hpp), as they turn every other C++ exception.
#pragma once

#include <stdexcept>

namespace vandra {

struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace vandra
