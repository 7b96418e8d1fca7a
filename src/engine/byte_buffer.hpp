#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

// A growable byte array that never zero-fills: every byte it hands out is
// written by a read or a copy before anyone looks at it, so clearing new room
// would only cost a pass over memory.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer &&other) noexcept
        : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer &operator=(ByteBuffer &&) = delete;

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    char *data() { return bytes_.get(); }
    const char *data() const { return bytes_.get(); }

    // Room for `capacity` bytes; size and contents are kept.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) {
            return;
        }
        auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_ != 0) {
            std::memcpy(bytes.get(), bytes_.get(), size_);
        }
        bytes_ = std::move(bytes);
        capacity_ = capacity;
    }

    // New bytes past the old size are left unwritten. Growth at least doubles
    // the capacity, so appending byte runs one by one stays linear.
    void resize(std::size_t size) {
        if (size > capacity_) {
            reserve(std::max(size, capacity_ * 2));
        }
        size_ = size;
    }

    // Empties the array and gives its memory back.
    void release() {
        bytes_.reset();
        size_ = 0;
        capacity_ = 0;
    }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;     // bytes in use, at most capacity_
    std::size_t capacity_ = 0; // bytes allocated
};
