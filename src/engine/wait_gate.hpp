#pragma once

// Told before and after each system call of the engine that can wait on a device or on another
// process: opening, reading, writing, flushing, seeking, truncating, syncing and closing. A binding
// lets other threads run in between; the engine never calls it around work in memory, so nothing
// that touches a caller's objects runs between the two calls. The calls always come in pairs.
class WaitGate {
public:
    virtual void before_wait() noexcept = 0;
    virtual void after_wait() noexcept = 0;

protected:
    ~WaitGate() = default;
};
