#pragma once

#include <string_view>

// Receives the lines of read_lines() one at a time, in order. A view is valid
// only during the call, so the receiver copies what it keeps.
class LineSink {
public:
    virtual void add(std::string_view line) = 0;

protected:
    ~LineSink() = default;
};
