#include "lib/distinct_rows.hpp"

namespace vandra {

std::vector<std::uint32_t> ids_from(const DistinctRows& d, std::size_t from) {
    std::vector<std::uint32_t> order;
    std::vector<bool> seen(d.count(), false);
    for (std::size_t i = from; i < d.rows(); ++i) {
        const std::uint32_t id = d.ids[i];
        if (seen[id]) continue;
        seen[id] = true;
        order.push_back(id);
    }
    return order;
}

}  // namespace vandra
