// The coded labels of one text column in code order: code c decodes to label(c). Codes are
// dense (0 .. size()-1), so one byte arena and an offset per label hold the whole map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace vandra {

using Code = std::uint64_t;

class CodeMap {
  public:
    CodeMap() = default;
    // Room for `labels` labels of `bytes` bytes in all, filled through offsets() and bytes():
    // label c is bytes()[offsets()[c], offsets()[c + 1]). Offset 0 is set here, the others
    // are the builder's. Throws std::bad_alloc.
    CodeMap(std::size_t labels, std::size_t bytes)
        : offsets_(new std::uint64_t[labels + 1]),
          bytes_(new char[bytes == 0 ? 1 : bytes]),
          size_(labels),
          byte_count_(bytes) {
        offsets_[0] = 0;
    }
    CodeMap(const CodeMap& other) : CodeMap(other.size_, other.byte_count_) {
        std::memcpy(offsets_.get(), other.offsets_.get(), (size_ + 1) * sizeof(std::uint64_t));
        if (byte_count_ > 0) std::memcpy(bytes_.get(), other.bytes_.get(), byte_count_);
    }
    CodeMap(CodeMap&& other) noexcept
        : offsets_(std::move(other.offsets_)),
          bytes_(std::move(other.bytes_)),
          size_(std::exchange(other.size_, 0)),
          byte_count_(std::exchange(other.byte_count_, 0)) {}
    CodeMap& operator=(CodeMap other) noexcept {
        std::swap(offsets_, other.offsets_);
        std::swap(bytes_, other.bytes_);
        std::swap(size_, other.size_);
        std::swap(byte_count_, other.byte_count_);
        return *this;
    }

    // Number of codes.
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // The label of code c < size().
    std::string_view label(Code c) const noexcept {
        return std::string_view(bytes_.get() + offsets_[c], offsets_[c + 1] - offsets_[c]);
    }
    // Heap bytes this map holds (what bench_label_encode reports a fit to cost).
    std::size_t bytes_held() const noexcept {
        return offsets_ ? (size_ + 1) * sizeof(std::uint64_t) + (byte_count_ == 0 ? 1 : byte_count_)
                        : 0;
    }

    std::uint64_t* offsets() noexcept { return offsets_.get(); }
    const std::uint64_t* offsets() const noexcept { return offsets_.get(); }
    char* bytes() noexcept { return bytes_.get(); }

  private:
    std::unique_ptr<std::uint64_t[]> offsets_;  // size_ + 1 entries while allocated
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
    std::size_t byte_count_ = 0;
};

}  // namespace vandra
