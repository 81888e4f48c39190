#include "python/input/distinct_column.hpp"

#include "lib/key_sort.hpp"
#include "lib/number_text.hpp"
#include "python/errors.hpp"
#include "python/input/cell_text.hpp"

namespace vandra {
namespace {

// Often enough that Ctrl-C stops a column of many boxed values at once.
constexpr std::uint32_t kValuesPerSignalCheck = 1 << 14;

void maybe_check_signals(std::size_t k) {
    if (k % kValuesPerSignalCheck == kValuesPerSignalCheck - 1) check_signals();
}

}  // namespace

PyObject* DistinctCells::cell(std::uint32_t id) {
    if (id >= boxed_.size()) boxed_.resize(id + 1);
    if (!boxed_[id]) {
        boxed_[id] = boxer_(id);
        if (!boxed_[id]) throw InternalError("no cell for value " + std::to_string(id));
    }
    return boxed_[id].get();
}

std::optional<double> DistinctCells::number(std::uint32_t id) {
    return renders(id) ? own_number(id) : cell_number(cell(id));
}

std::string_view DistinctCells::text(std::uint32_t id, LabelStore& store) {
    return renders(id) ? store.copy(own_text(id)) : cell_text(cell(id), store);
}

DistinctCells::Boxer item_boxer(PyObject* target, const DistinctRows& rows, std::size_t j) {
    return [target, &rows, j](std::uint32_t id) {
        PyRef key = checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows.first_row[id]),
                                          static_cast<Py_ssize_t>(j)));
        PyRef cell(PyObject_GetItem(target, key.get()));
        if (!cell) throw_internal_from_python("couldn't read cell");
        return cell;
    };
}

void read_distinct(CellReader& reader, std::size_t j, DistinctRows& rows, DistinctCells& cells) {
    const std::size_t k = rows.count();
    std::vector<double> numbers;
    numbers.reserve(k);
    std::size_t first_text = k;  // the first value without a float value, in row order
    for (std::uint32_t id = 0; id < k; ++id) {
        maybe_check_signals(id);
        const std::optional<double> v = cells.number(id);
        if (!v) {
            first_text = id;
            break;
        }
        numbers.push_back(*v);
    }
    if (first_text == k) {
        reader.set_indexed_numbers(j, std::move(numbers), std::move(rows.ids));
        return;
    }
    const std::size_t from = rows.first_row[first_text];
    LabelStore& store = reader.store();
    if (first_text == 0) {
        // Every row takes its value's own text. Where the texts of values have keys to sort
        // by, they are rendered only once the codes are known, straight into the fit.
        KeyedItems keyed;
        keyed.reserve(k);
        for (std::uint32_t id = 0; id < k; ++id) {
            if (const auto key = cells.key(id)) keyed.push_back(KeyedItem{key->key, key->tie, id});
        }
        if (!keyed.empty()) {
            // The other values' texts (their cells may run Python code), in row order.
            std::vector<std::pair<std::uint32_t, std::string_view>> others;
            for (std::uint32_t id = 0, next = 0; id < k; ++id) {
                if (next < keyed.size() && keyed[next].item == id) {
                    ++next;
                    continue;
                }
                maybe_check_signals(id);
                others.emplace_back(id, cells.text(id, store));
            }
            sort_by_key(keyed);
            reader.set_text(
                j, std::make_unique<OrderedLabels>(std::move(rows.ids), k, std::move(keyed),
                                                   std::move(others), cells.renderer()));
            return;
        }
    }
    std::vector<std::string_view> forms(2 * k);
    std::vector<std::uint32_t> named;
    for (std::uint32_t id = 0; id < first_text; ++id) {
        forms[2 * id] = store.copy(float_to_text(numbers[id]));
        named.push_back(2 * id);
    }
    std::size_t done = 0;
    for (const std::uint32_t id : ids_from(rows, from)) {
        maybe_check_signals(done++);
        forms[2 * id + 1] = cells.text(id, store);
        named.push_back(2 * id + 1);
    }
    reader.set_text(j, std::make_unique<DistinctLabels>(std::move(forms), std::move(named),
                                                        std::move(rows.ids), from));
}

}  // namespace vandra
