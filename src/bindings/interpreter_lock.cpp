#include "interpreter_lock.hpp"

#include <unistd.h>

namespace {

[[noreturn]] void park_for_ever() noexcept {
    for (;;) {
        ::pause(); // returns only after a signal handler ran
    }
}

} // namespace

void restore_thread_or_park(PyThreadState *state) noexcept {
    // CPython ends the thread from inside the call, where glibc's pthread_exit unwinds the stack
    // (a forced unwind, the one thing the call can throw); the thread that finalizes gets the
    // lock as ever. A forced unwind carries no object to bind a reference to, so it is caught as
    // anything. A handler that ended would abort the process, so this one never does.
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        park_for_ever();
    }
}
