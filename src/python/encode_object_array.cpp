#include "python/encode_object_array.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lib/label_encode.hpp"
#include "lib/send_ptr.hpp"
#include "pool/pool.hpp"

namespace vandra {

namespace {

// Tables of at most this many cells are encoded on the calling thread alone: handing them to
// the pool would cost more than the work.
constexpr std::size_t kSerialCells = std::size_t{1} << 15;
// Row-major targets are filled in blocks of rows whose cells span about this many doubles
// (the pool's tasks), each written in slices that stay in the first-level cache while every
// column writes into them.
constexpr std::size_t kBlockCells = std::size_t{1} << 14;
constexpr std::size_t kMinBlockRows = 64;
constexpr std::size_t kSliceCells = std::size_t{1} << 11;
constexpr std::size_t kMinSliceRows = 16;

[[noreturn]] void bad_buffers(const std::string& what) {
    throw std::runtime_error("encode_object_array: " + what);
}

std::size_t values_in(const ColumnBuffers& b, std::size_t j, std::size_t rows) {
    if (b.is_object[j])
        return b.label_sources[j] ? b.label_sources[j]->length() : b.labels[j].size();
    return b.number_views[j] ? rows : b.numbers[j].size();
}

void check_buffers(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                   const double* cells) {
    const ColumnBuffers& b = buffers;
    if (b.is_object.size() != cols || b.numbers.size() != cols || b.labels.size() != cols ||
        b.number_views.size() != cols || b.label_sources.size() != cols) {
        bad_buffers("buffers for " + std::to_string(b.is_object.size()) + " columns, table has " +
                    std::to_string(cols));
    }
    if (cols != 0 && rows > SIZE_MAX / sizeof(double) / cols) bad_buffers("table too large");
    if (cells == nullptr && rows != 0 && cols != 0) bad_buffers("no cell buffer");
    for (std::size_t j = 0; j < cols; ++j) {
        const std::size_t have = values_in(b, j, rows);
        if (have != rows) {
            bad_buffers("column " + std::to_string(j) + " holds " + std::to_string(have) +
                        " values, table has " + std::to_string(rows) + " rows");
        }
    }
}

struct ColumnFit {
    ColumnIndex column;
    std::vector<double> codes;  // for a row-major target, until it is filled
    CodeMap code_map;
};

// Encodes text column j; its codes go straight to `column` (contiguous, rows long) when
// given, else into the result.
ColumnFit encode_text_column(const ColumnBuffers& b, std::size_t j, double* column) {
    const LabelSource* source = b.label_sources[j];
    if (!source) {
        if (column) return ColumnFit{j, {}, label_encode(b.labels[j], column)};
        LabelEncoding enc = label_encode(b.labels[j]);
        return ColumnFit{j, std::move(enc.codes), std::move(enc.code_map)};
    }
    ColumnFit fit{j, {}, {}};
    if (!column) {
        fit.codes.resize(source->length());
        column = fit.codes.data();
    }
    fit.code_map = source->encode(column);
    return fit;
}

// Rows [lo, hi) of one column's values to out[0], out[stride], ...: its codes if it is a text
// column, else its numbers (bit for bit) or its values converted from memory.
void write_rows(const ColumnBuffers& b, const std::vector<double>* codes, std::size_t j,
                std::size_t lo, std::size_t hi, double* out, std::ptrdiff_t stride) {
    if (b.number_views[j] && !codes) {
        copy_numbers(b.number_views[j], lo, hi, out, stride);
        return;
    }
    const double* from = codes ? codes->data() : b.numbers[j].data();
    if (stride == 1) {
        std::memcpy(out, from + lo, (hi - lo) * sizeof(double));
        return;
    }
    for (std::size_t i = lo; i < hi; ++i, out += stride) std::memcpy(out, from + i, sizeof(double));
}

// When every column is a view into one C-ordered block of a single element type (a 2-D
// numeric array) and the target is row-major, the whole table as one view; else none.
NumberView as_one_block(std::size_t rows, std::size_t cols, const ColumnBuffers& b,
                        std::ptrdiff_t rs, std::ptrdiff_t cs) {
    if (rows == 0 || cols == 0 || cs != 1 || rs != static_cast<std::ptrdiff_t>(cols)) return {};
    const NumberView& first = b.number_views[0];
    if (!first) return {};
    const std::ptrdiff_t item = first.stride / static_cast<std::ptrdiff_t>(cols);
    if (item <= 0 || first.stride != item * static_cast<std::ptrdiff_t>(cols)) return {};
    for (std::size_t j = 0; j < cols; ++j) {
        const NumberView& v = b.number_views[j];
        if (b.is_object[j] || v.type != first.type || v.stride != first.stride ||
            v.swapped != first.swapped ||
            v.data != first.data + static_cast<std::ptrdiff_t>(j) * item)
            return {};
    }
    NumberView whole{first.data, item, first.type};
    whole.swapped = first.swapped;
    return whole;
}

// Whether every column is a view of one plain element type and byte order, few enough to be
// copied side by side into a row-major target (a 2-D numeric array not in C order).
bool side_by_side(std::size_t cols, const ColumnBuffers& b, std::ptrdiff_t rs, std::ptrdiff_t cs) {
    if (cols == 0 || cols > kMaxSideBySide || cs != 1 || rs != static_cast<std::ptrdiff_t>(cols))
        return false;
    const NumberView& first = b.number_views[0];
    using T = NumberView::Type;
    if (first.type == T::none || first.type == T::indexed || first.type == T::chunked ||
        first.type == T::longdouble)
        return false;
    for (std::size_t j = 0; j < cols; ++j) {
        const NumberView& v = b.number_views[j];
        if (b.is_object[j] || v.type != first.type || v.swapped != first.swapped) return false;
    }
    return true;
}

}  // namespace

FitState encode_object_array(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                             CellTarget target) {
    check_buffers(rows, cols, buffers, target.cells);
    // The per-column pass is the pool's first use even when there is no column to run:
    // every cell-path conversion starts the pool, so when its threads appear does not
    // depend on the shape of the first input.
    (void)pool::num_threads();
    std::optional<pool::SerialScope> serial;
    if (rows * cols <= kSerialCells) serial.emplace();
    const SendPtr shared_cells(target.cells);
    const std::ptrdiff_t rs = target.row_stride, cs = target.col_stride;
    const bool col_major = rs == 1;
    auto column_start = [shared_cells, cs](std::size_t j) {
        return shared_cells.get() + static_cast<std::ptrdiff_t>(j) * cs;
    };

    // 1. Text columns, in parallel; a column-major target takes each column's codes directly.
    std::vector<ColumnFit> fits =
        pool::gather<ColumnFit>(0, cols, [&](std::size_t j) -> std::optional<ColumnFit> {
            if (!buffers.is_object[j]) return std::nullopt;
            return encode_text_column(buffers, j, col_major ? column_start(j) : nullptr);
        });

    // 2. Everything else, straight into the target.
    if (col_major) {
        pool::for_each_index(0, cols, [&](std::size_t j) {
            if (buffers.is_object[j]) return;
            pool::for_each_range(0, rows, [&](std::size_t lo, std::size_t hi) {
                write_rows(buffers, nullptr, j, lo, hi, column_start(j) + lo, 1);
            });
        });
    } else if (const NumberView whole = as_one_block(rows, cols, buffers, rs, cs)) {
        // The whole table is one C-ordered block in memory, like the target: one pass.
        pool::for_each_range(0, rows * cols, [&](std::size_t lo, std::size_t hi) {
            copy_numbers(whole, lo, hi, shared_cells.get() + lo, 1);
        });
    } else if (rows > 0 && cols > 0) {
        std::vector<const std::vector<double>*> codes_of(cols, nullptr);
        for (const ColumnFit& f : fits) codes_of[f.column] = &f.codes;
        const std::size_t block = std::max(kMinBlockRows, kBlockCells / cols);
        const std::size_t slice = std::max(kMinSliceRows, kSliceCells / cols);
        const bool together = side_by_side(cols, buffers, rs, cs);
        pool::for_each_index(0, (rows + block - 1) / block, [&](std::size_t k) {
            const std::size_t end = std::min(rows, (k + 1) * block);
            if (together) {
                copy_rows_side_by_side(
                    buffers.number_views.data(), cols, k * block, end,
                    column_start(0) + static_cast<std::ptrdiff_t>(k * block) * rs);
                return;
            }
            for (std::size_t lo = k * block; lo < end; lo += slice) {
                const std::size_t hi = std::min(end, lo + slice);
                for (std::size_t j = 0; j < cols; ++j) {
                    write_rows(buffers, codes_of[j], j, lo, hi,
                               column_start(j) + static_cast<std::ptrdiff_t>(lo) * rs, rs);
                }
            }
        });
    }

    FitState fit;
    fit.encoded_columns.reserve(fits.size());
    fit.code_maps.reserve(fits.size());
    for (ColumnFit& f : fits) {
        fit.encoded_columns.push_back(f.column);
        fit.code_maps.emplace(f.column, std::move(f.code_map));
    }
    return fit;
}

}  // namespace vandra
