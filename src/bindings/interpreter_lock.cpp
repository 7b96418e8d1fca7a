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
    if (_Py_IsFinalizing()) {
        park_for_ever();
    }
#if defined(__GLIBCXX__)
    // Finalization may begin between the test and the call: the thread is then ended from inside
    // the call, by a forced unwind, caught here. A handler that ended would abort the process, so
    // this one never does.
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind &) {
        park_for_ever();
    }
#else
    PyEval_RestoreThread(state);
#endif
}
