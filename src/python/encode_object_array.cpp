// TEMPORARY serial implementation; replaced by the parallel one.
#include "python/encode_object_array.hpp"

#include "lib/label_encode.hpp"
#include "pool/pool.hpp"

namespace vandra {

FitState encode_object_array(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                             double* cells) {
    (void)pool::num_threads();
    FitState fit;
    for (std::size_t j = 0; j < cols; ++j) {
        if (!buffers.is_object[j]) {
            for (std::size_t i = 0; i < rows; ++i) cells[i * cols + j] = buffers.numbers[j][i];
            continue;
        }
        LabelEncoding enc = label_encode(buffers.labels[j]);
        for (std::size_t i = 0; i < rows; ++i) cells[i * cols + j] = enc.codes[i];
        CodeMap codes;
        enc.label_map.for_each([&](std::string_view k, const std::optional<Code>& c) {
            if (c) codes.emplace(*c, std::string(k));
        });
        fit.encoded_columns.push_back(j);
        fit.label_maps.emplace(j, std::move(enc.label_map));
        fit.code_maps.emplace(j, std::move(codes));
    }
    return fit;
}

}  // namespace vandra
