#include "python/input/column_plan.hpp"

namespace vandra {

std::vector<std::uint32_t> ColumnPlan::all_ids() const {
    std::vector<std::uint32_t> ids(rows_.count());
    for (std::size_t id = 0; id < ids.size(); ++id) ids[id] = static_cast<std::uint32_t>(id);
    return ids;
}

bool BoxedPlan::settle(DistinctCells::Boxer sample) {
    cells_ = std::make_unique<BoxedCells>(std::move(sample));
    return true;
}

}  // namespace vandra
