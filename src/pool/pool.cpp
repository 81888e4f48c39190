#include "pool/pool.hpp"

namespace vandra::pool {
std::size_t num_threads() { return 1; }
}  // namespace vandra::pool
