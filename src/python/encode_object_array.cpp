#include "python/encode_object_array.hpp"

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

[[noreturn]] void bad_buffers(const std::string& what) {
    throw std::runtime_error("encode_object_array: " + what);
}

void check_buffers(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                   const double* cells) {
    if (buffers.is_object.size() != cols || buffers.numbers.size() != cols ||
        buffers.labels.size() != cols) {
        bad_buffers("buffers for " + std::to_string(buffers.is_object.size()) +
                    " columns, table has " + std::to_string(cols));
    }
    if (cols != 0 && rows > SIZE_MAX / sizeof(double) / cols) bad_buffers("table too large");
    if (cells == nullptr && rows != 0 && cols != 0) bad_buffers("no cell buffer");
    for (std::size_t j = 0; j < cols; ++j) {
        const std::size_t have =
            buffers.is_object[j] ? buffers.labels[j].size() : buffers.numbers[j].size();
        if (have != rows) {
            bad_buffers("column " + std::to_string(j) + " holds " + std::to_string(have) +
                        " values, table has " + std::to_string(rows) + " rows");
        }
    }
}

struct ColumnFit {
    ColumnIndex column;
    CodeMap code_map;
};

}  // namespace

FitState encode_object_array(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                             double* cells) {
    check_buffers(rows, cols, buffers, cells);
    // The per-column pass is the pool's first use even when there is no column to run:
    // every cell-path conversion starts the pool, so when its threads appear does not
    // depend on the shape of the first input.
    (void)pool::num_threads();
    const SendPtr shared_cells(cells);

    std::vector<ColumnFit> fits = pool::gather<ColumnFit>(
        0, cols, [&buffers, rows, cols, shared_cells](std::size_t j) -> std::optional<ColumnFit> {
            if (!buffers.is_object[j]) {
                const std::vector<double>& numbers = buffers.numbers[j];
                pool::for_each_range(
                    0, rows,
                    [&numbers, cols, j, out = shared_cells](std::size_t lo, std::size_t hi) {
                        double* cell = out.get();
                        for (std::size_t i = lo; i < hi; ++i) {
                            std::memcpy(cell + i * cols + j, &numbers[i], sizeof(double));
                        }
                    });
                return std::nullopt;
            }
            LabelEncoding enc = label_encode(buffers.labels[j]);
            const std::vector<double>& codes = enc.codes;
            pool::for_each_range(
                0, rows, [&codes, cols, j, out = shared_cells](std::size_t lo, std::size_t hi) {
                    double* cell = out.get();
                    for (std::size_t i = lo; i < hi; ++i) cell[i * cols + j] = codes[i];
                });
            return ColumnFit{j, std::move(enc.code_map)};
        });

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
