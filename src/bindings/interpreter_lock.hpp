#pragma once

#include <pybind11/pybind11.h>

// Every place where a thread of ours takes the interpreter lock back after releasing it goes
// through here. A thread that asks for the lock once another thread has begun to finalize the
// interpreter never gets it: CPython ends such a thread where it stands (pthread_exit), and that
// unwinding would meet the frames of the engine's calls, which may not be unwound (noexcept), and
// abort the whole process. The thread is parked for ever instead, touching nothing of Python, and
// the process exits around it with its own status. What the thread's call was doing is dropped
// with it. The finalizing thread itself, which may still use files from finalizers, is served as
// ever.

// Takes the interpreter lock back for `state`, which PyEval_SaveThread() returned; never returns
// to a finalizing interpreter.
void restore_thread_or_park(PyThreadState *state) noexcept;

// Releases the interpreter lock for its lifetime; takes it back as restore_thread_or_park().
class InterpreterReleased {
public:
    InterpreterReleased() : state_(PyEval_SaveThread()) {}
    InterpreterReleased(const InterpreterReleased &) = delete;
    InterpreterReleased &operator=(const InterpreterReleased &) = delete;
    ~InterpreterReleased() { restore_thread_or_park(state_); }

private:
    PyThreadState *state_;
};
