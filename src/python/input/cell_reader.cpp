#include "python/input/cell_reader.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "lib/number_text.hpp"
#include "lib/scratch.hpp"
#include "python/errors.hpp"

namespace vandra {
namespace {

// Cells whose reading runs no Python code and allocates no object the garbage collector
// tracks, so nothing can free them meanwhile: they need not be held.
bool is_plain(PyObject* cell) {
    return PyUnicode_CheckExact(cell) || PyFloat_CheckExact(cell) || PyBool_Check(cell) ||
           cell == Py_None;
}

// The slot of an object's address in a table of kSeen entries: a multiplicative hash, since
// the objects of one column may lie at strides that a plain remainder would fold together.
std::size_t slot_of(const PyObject* obj) {
    static_assert((CellReader::kSeen & (CellReader::kSeen - 1)) == 0);
    constexpr int kBits = std::countr_zero(CellReader::kSeen);
    return static_cast<std::size_t>(
        (reinterpret_cast<std::uintptr_t>(obj) * std::uint64_t{0x9E3779B97F4A7C15}) >>
        (64 - kBits));
}

// The entry remembering `obj` among the few slots it may take (kWays slots from its hash),
// else the slot to fill: an empty one, else the first. Searching a few slots keeps a column's
// distinct objects remembered even where their addresses collide (a fragmented heap).
constexpr std::size_t kWays = 4;
template <class Entry, class Held>
Entry& entry_for(Entry* table, const PyObject* obj, Held held) {
    const std::size_t first = slot_of(obj);
    Entry* empty = nullptr;
    for (std::size_t k = 0; k < kWays; ++k) {
        Entry& e = table[(first + k) & (CellReader::kSeen - 1)];
        if (held(e) == obj) return e;
        if (!empty && !held(e)) empty = &e;
    }
    return empty ? *empty : table[first];
}

}  // namespace

std::string_view CellReader::str_label(PyObject* str) {
    if (!seen_) seen_ = std::make_unique<Seen[]>(kSeen);
    Seen& s = entry_for(seen_.get(), str, [](const Seen& e) { return e.str.get(); });
    if (s.str.get() == str) return s.label;
    s.label = str_text(str, store_);
    s.str = PyRef::borrow(str);  // releasing the old entry's str runs no Python code
    return s.label;
}

CellReader::Decimal* CellReader::remembered_decimal(PyObject* cell) {
    if (!decimal_type_ || reinterpret_cast<PyObject*>(Py_TYPE(cell)) != decimal_type_.get())
        return nullptr;
    if (!decimals_) decimals_ = std::make_unique<Decimal[]>(kSeen);
    Decimal& d = entry_for(decimals_.get(), cell, [](const Decimal& e) { return e.obj.get(); });
    if (d.obj.get() != cell) {
        d.number = cell_number(cell);
        d.has_label = false;
        d.obj = PyRef::borrow(cell);  // releasing the old entry's Decimal runs no Python code
    }
    return &d;
}

std::string_view CellReader::text_label(PyObject* cell) {
    if (PyUnicode_CheckExact(cell)) return str_label(cell);
    if (cell == Py_None) return "None";
    if (PyBool_Check(cell)) return cell == Py_True ? "True" : "False";
    if (PyFloat_CheckExact(cell)) {
        const double v = PyFloat_AS_DOUBLE(cell);
        return std::isnan(v) ? "nan" : store_.copy(python_float_text(v));
    }
    if (Decimal* d = remembered_decimal(cell)) {
        if (!d->has_label) {
            d->label = cell_text(cell, store_);
            d->has_label = true;
        }
        return d->label;
    }
    return cell_text(cell, store_);
}

void CellReader::add(std::size_t j, PyObject* cell) {
    if (++since_check_ == kCellsPerSignalCheck) {
        since_check_ = 0;
        check_signals();
    }
    if (!buffers_.is_object[j]) {
        const Decimal* d = remembered_decimal(cell);
        if (const std::optional<double> v = d ? d->number : cell_number(cell)) {
            if (buffers_.numbers[j].empty()) buffers_.numbers[j] = scratch::take<double>(rows_);
            buffers_.numbers[j].push_back(*v);
            return;
        }
        switch_to_text(j);
    }
    buffers_.labels[j].push_back(text_label(cell));
}

void CellReader::add_slots(std::size_t j, const char* slots, std::ptrdiff_t stride) {
    auto slot_at = [slots, stride](std::size_t i) {
        PyObject* slot;
        std::memcpy(&slot, slots + static_cast<std::ptrdiff_t>(i) * stride, sizeof slot);
        return slot;
    };
    for (std::size_t i = 0; i < rows_; ++i) {
        // Cells point anywhere in memory: fetch the object (and a short str's bytes, which
        // follow its header) a few rows ahead, so that the cache misses overlap.
        if (i + kPrefetchAhead < rows_) {
            if (PyObject* ahead = slot_at(i + kPrefetchAhead)) {
                __builtin_prefetch(ahead);
                __builtin_prefetch(reinterpret_cast<const char*>(ahead) + 64);
            }
        }
        PyObject* slot = slot_at(i);
        if (!slot) slot = Py_None;
        if (is_plain(slot)) {
            add(j, slot);  // no Python code runs while a plain cell is read
            continue;
        }
        PyRef cell = PyRef::borrow(slot);
        add(j, cell.get());
    }
}

void CellReader::set_indexed_numbers(std::size_t j, std::vector<double> table, RowIds index) {
    const auto& [t, i] = indexed_numbers_.emplace_back(std::move(table), std::move(index));
    buffers_.number_views[j] =
        NumberView{reinterpret_cast<const char*>(t.data()), 0, NumberView::Type::indexed, i.data()};
}

void CellReader::switch_to_text(std::size_t j) {
    buffers_.is_object[j] = true;
    auto& labels = buffers_.labels[j];
    labels = scratch::take<std::string_view>(rows_);
    for (double v : buffers_.numbers[j]) labels.push_back(store_.copy(float_to_text(v)));
    scratch::give(std::move(buffers_.numbers[j]));
    buffers_.numbers[j] = {};
}

CellReader::~CellReader() {
    for (auto& numbers : buffers_.numbers) scratch::give(std::move(numbers));
    for (auto& labels : buffers_.labels) scratch::give(std::move(labels));
}

}  // namespace vandra
