// The labels of a column's rows, read a block at a time. A source that computes each row's
// label (Arrow offsets into one data buffer) hands out small blocks of views that stay in
// cache, instead of a view per row written to memory and read back.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace vandra {

class RowLabels {
  public:
    // Rows per block that read is asked for at most.
    static constexpr std::size_t kBlockRows = 512;

    virtual ~RowLabels() = default;
    virtual std::size_t size() const noexcept = 0;
    // The views of rows [lo, hi), hi - lo <= kBlockRows: the source's own, or `buf` filled
    // with them. Called from pool threads at once; views stay valid while the source lives.
    virtual const std::string_view* read(std::size_t lo, std::size_t hi,
                                         std::string_view* buf) const = 0;
};

// Rows whose views are already in memory.
class ViewLabels final : public RowLabels {
  public:
    explicit ViewLabels(std::span<const std::string_view> views) noexcept : views_(views) {}
    std::size_t size() const noexcept override { return views_.size(); }
    const std::string_view* read(std::size_t lo, std::size_t, std::string_view*) const override {
        return views_.data() + lo;
    }

  private:
    std::span<const std::string_view> views_;
};

}  // namespace vandra
