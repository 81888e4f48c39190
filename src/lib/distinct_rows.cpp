#include "lib/distinct_rows.hpp"

namespace vandra {

std::vector<std::uint32_t> ids_from(const DistinctRows& d, std::size_t from) {
    const std::size_t k = d.count();
    std::vector<std::uint32_t> order;
    if (from == 0) {  // every value, and ids count in order of first occurrence
        order.resize(k);
        for (std::size_t id = 0; id < k; ++id) order[id] = static_cast<std::uint32_t>(id);
        return order;
    }
    std::vector<std::uint8_t> seen(k, 0);
    for (std::size_t i = from; i < d.rows() && order.size() < k; ++i) {
        const std::uint32_t id = d.ids[i];
        if (seen[id]) continue;
        seen[id] = 1;
        order.push_back(id);
    }
    return order;
}

}  // namespace vandra
