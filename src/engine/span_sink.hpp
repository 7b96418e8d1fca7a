#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>

#include "read_sink.hpp"

// A read into memory the caller already has, such as readinto()'s buffer.
class SpanSink final : public ReadSink {
public:
    explicit SpanSink(std::span<char> memory) : memory_(memory) {}

    char *reserve(std::size_t size) override {
        if (size > memory_.size()) {
            throw std::length_error("read length exceeds the buffer");
        }
        return memory_.data();
    }

    std::size_t max_size() const override { return memory_.size(); }

private:
    std::span<char> memory_;
};
