#include "python/output/output.hpp"

#include "python/output/array_decode.hpp"
#include "python/output/decoded_frame.hpp"
#include "python/output/encode_result.hpp"
#include "python/output/frame_decode.hpp"

namespace vandra {

PyRef arr_to_out(ValueMatrix& matrix, OUT out, const FitState* fit) {
    if (auto* frame = std::get_if<OUT::Frame>(&out.kind)) {
        if (fit && !fit->encoded_columns.empty()) {
            if (PyRef decoded = frame_of_blocks(matrix, *frame, *fit)) return decoded;
        }
        if (fit && fit->encoded_columns.size() >= kOneStepColumns) {
            if (PyRef decoded = decoded_frame(matrix, *frame, *fit)) return decoded;
        }
        bool own_frame = false;
        PyRef result = frame_result(matrix, *frame, own_frame);
        if (fit && !fit->encoded_columns.empty()) {
            decode_frame_columns(result.get(), matrix, frame->columns, *fit, own_frame);
        }
        return result;
    }
    if (!fit) return std::move(matrix.array);
    return decoded_array(matrix, *fit);
}

}  // namespace vandra
