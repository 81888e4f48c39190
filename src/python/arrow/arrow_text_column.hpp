// A text column held in Arrow string arrays (utf8 or large_utf8, in any number of chunks),
// read in place: labels are views into Arrow's buffers, which stay alive as long as the
// column. Pure C++: the arrays come through the Arrow C stream interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/column_sources.hpp"
#include "python/arrow/arrow_c_data.hpp"

namespace vandra {

class ArrowTextColumn final : public LabelSource {
  public:
    // Drains `stream` and takes over its arrays; the stream is released either way. Returns
    // nullopt with the reason in `why` when the stream is not a column of valid, well-formed
    // utf8 or large_utf8 arrays, plain or dictionary-encoded by integer indices: every offset
    // is checked to lie in order, every label to be valid UTF-8 and every valid row's index
    // to name an entry, before anything is read from it. Dictionaries with null entries are
    // refused. Throws only std::bad_alloc.
    static std::optional<ArrowTextColumn> import(ArrowArrayStream& stream, std::string& why);

    ArrowTextColumn(ArrowTextColumn&&) noexcept;
    ArrowTextColumn& operator=(ArrowTextColumn&&) = delete;
    ArrowTextColumn(const ArrowTextColumn&) = delete;
    ~ArrowTextColumn() override;

    std::size_t length() const override { return length_; }
    // The first row that is not null, if any.
    std::optional<std::size_t> first_valid() const;
    // The labels of null rows: `before_first` for those before the first valid row, `after`
    // for the others. Both must outlive the column (static texts).
    void set_null_labels(std::string_view before_first, std::string_view after) {
        null_before_ = before_first;
        null_after_ = after;
    }
    // Writes length() views, one per row in row order, on the worker pool.
    void fill(std::string_view* out) const;
    // Writes the views of rows [lo, hi) to out[0, hi - lo).
    void fill_range(std::size_t lo, std::size_t hi, std::string_view* out) const;
    // The view of one row, as fill writes it.
    std::string_view label(std::size_t row) const;
    CodeMap encode(double* codes) const override;

  private:
    // A chunk's labels are its entries: entry i is row i's label, or, in a dictionary-encoded
    // chunk, the dictionary's entry that row i's index names.
    struct Chunk {
        ArrowArray array;                        // owned: released with the column
        std::size_t begin = 0, length = 0;       // rows of the column it holds
        const std::uint8_t* validity = nullptr;  // bitmap, or null when all rows are valid
        const void* offsets = nullptr;           // int32 or int64, of the entries
        std::int64_t first_entry = 0;            // where the entries start among the offsets
        const char* data = nullptr;
        bool large = false;
        const void* indices = nullptr;  // a dictionary chunk's indices, at the array's offset
        char index_format = 0;          // their Arrow format ('c' ... 'L'), 0 if none
        std::size_t entries = 0;        // a dictionary chunk's entries

        std::size_t entry(std::size_t i) const;  // the entry of row i
        // f(i, valid, entry) for rows [i0, i0 + n) of a dictionary chunk (entry 0 where null).
        template <class F>
        void for_each_entry(std::size_t i0, std::size_t n, F&& f) const;
        std::size_t start(std::size_t k) const;  // byte offset of entry k's label
        bool valid(std::size_t i) const;
    };

    ArrowTextColumn() = default;
    CodeMap encode_by_entries(double* codes) const;
    // f(chunk, its index, row, end) for each chunk's share [row, end) of rows [lo, hi).
    template <class F>
    void for_each_piece(std::size_t lo, std::size_t hi, F&& f) const;

    std::vector<Chunk> chunks_;
    std::size_t length_ = 0;
    std::size_t first_valid_ = 0;  // length_ when every row is null
    bool dictionary_ = false;
    std::string_view null_before_ = "NaN", null_after_ = "nan";
};

}  // namespace vandra
