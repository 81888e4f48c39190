#include "python/input/column_plan.hpp"

namespace vandra {

bool BoxedPlan::settle(DistinctCells::Boxer sample) {
    cells_ = std::make_unique<BoxedCells>(std::move(sample));
    return true;
}

}  // namespace vandra
