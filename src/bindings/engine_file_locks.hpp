#pragma once

// The two ways a call holds an EngineFile, shared by its methods and the jobs that engine threads
// carry out for them.

#include <thread>

#include "engine_errors.hpp"
#include "engine_file.hpp"
#include "interpreter_lock.hpp"

// Holds the object's lock for one operation. As CPython's buffered files do, a caller first
// tries the lock and only waits for it with the interpreter lock released, so the thread that
// holds it can finish; the same thread coming back while it holds the lock is refused.
class EngineFile::Busy {
public:
    explicit Busy(EngineFile &file) : file_(file), held_(true) {
        const std::thread::id me = std::this_thread::get_id();
        if (!file_.lock_.try_lock()) {
            if (file_.owner_.load(std::memory_order_relaxed) == me) {
                throw std::runtime_error("reentrant call on a file in use by this thread");
            }
            const InterpreterReleased released;
            file_.lock_.lock();
        }
        take_over(me);
    }
    // Holds the lock only if it is free at once; held() tells.
    Busy(EngineFile &file, std::try_to_lock_t) : file_(file), held_(file.lock_.try_lock()) {
        if (held_) {
            take_over(std::this_thread::get_id());
        }
    }
    // On an engine thread, which holds no interpreter lock to release: it waits for the lock
    // plainly, and the wait gate lets nothing go around the system calls.
    Busy(EngineFile &file, OffInterpreter) : file_(file), held_(true) {
        file_.lock_.lock();
        take_over(std::this_thread::get_id());
        file_.gate_releases_ = false;
    }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;
    ~Busy() {
        if (!held_) {
            return;
        }
        file_.gate_releases_ = true;
        file_.descriptor_.store(file_.core.descriptor(), std::memory_order_relaxed);
        file_.pending_.store(file_.core.pending_bytes(), std::memory_order_release);
        file_.owner_.store(std::thread::id(), std::memory_order_relaxed);
        file_.lock_.unlock();
    }

    bool held() const { return held_; }

private:
    void take_over(std::thread::id me) {
        file_.owner_.store(me, std::memory_order_relaxed);
        file_.forget_input_behind_positional_writes();
    }

    EngineFile &file_;
    bool held_;
};

// Keeps the descriptor open for one pread or pwrite: close() waits until none holds it.
class EngineFile::PositionalUse {
public:
    explicit PositionalUse(EngineFile &file) : file_(file) {
        const std::lock_guard guard(file_.positional_lock_);
        descriptor_ = file_.descriptor_.load(std::memory_order_relaxed);
        if (descriptor_ < 0) {
            throw NotOpenError();
        }
        ++file_.positional_calls_;
    }
    PositionalUse(const PositionalUse &) = delete;
    PositionalUse &operator=(const PositionalUse &) = delete;
    ~PositionalUse() {
        const std::lock_guard guard(file_.positional_lock_);
        if (--file_.positional_calls_ == 0) {
            file_.positional_ended_.notify_all();
        }
    }

    int descriptor() const { return descriptor_; }

private:
    EngineFile &file_;
    int descriptor_;
};
