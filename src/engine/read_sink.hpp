#pragma once

#include <cstddef>

// Memory that a read fills. The binding backs it with the object it returns,
// so the bytes land where the caller gets them, and the engine asks for room
// step by step, so a count far above what arrives costs only what arrives.
class ReadSink {
public:
    // Room for at least `size` bytes, keeping the bytes already stored.
    // May move the storage: callers use only the pointer it last returned.
    virtual char *reserve(std::size_t size) = 0;

    // The largest result the sink can ever hold.
    virtual std::size_t max_size() const = 0;

protected:
    ~ReadSink() = default;
};
