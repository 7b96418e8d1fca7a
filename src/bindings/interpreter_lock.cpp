#include "interpreter_lock.hpp"

#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace {

[[noreturn]] void park_for_ever() noexcept {
    for (;;) {
        ::pause(); // returns only after a signal handler ran
    }
}

} // namespace

void restore_thread_or_park(PyThreadState *state) noexcept {
#if defined(__GLIBCXX__)
    // CPython ends the thread from inside the call, by a forced unwind, caught here; the thread
    // that finalizes gets the lock as ever. A handler that ended would abort the process, so this
    // one never does.
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind &) {
        park_for_ever();
    }
#else
    PyEval_RestoreThread(state);
#endif
}
