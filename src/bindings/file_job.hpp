#pragma once

#include <exception>
#include <string_view>

#include <pybind11/pybind11.h>

#include "completions.hpp"
#include "engine_file.hpp"
#include "engine_file_locks.hpp"

namespace py = pybind11;

// A call on an EngineFile that an engine thread carries out under the file's lock: perform() on
// the engine thread, never touching Python; make_result() on the loop's thread. The job holds
// the Python object, so the file lives until the job is delivered.
class FileJob : public BoundJob {
public:
    FileJob(const py::object &self, Completions &completions, py::object deliver)
        : BoundJob(completions.queue(), std::move(deliver)), owner_(self),
          file_(self.cast<EngineFile &>()) {}

    // On the loop's thread, before the job is made: what the file's mode refuses, it refuses as
    // the blocking call does.
    static void refuse_by_mode(const EngineFile &file, std::string_view method) {
        if (method == "read1" || method == "pread") {
            file.require_readable(method == "read1" ? "read1" : "pread");
        } else if (method.starts_with("read")) {
            file.require_readable("read");
        } else if (method == "write" || method == "writelines") {
            file.require_writable("write");
        } else if (method == "truncate" || method == "pwrite") {
            file.require_writable(method == "truncate" ? "truncate" : "pwrite");
        }
    }

protected:
    virtual void perform(AsyncFileCore &core) = 0;
    virtual py::object make_result() = 0;

    bool binary() const { return file_.is_binary; }
    EngineFile &file() { return file_; }
    const py::object &owner() const { return owner_; }
    bool failed() const { return static_cast<bool>(failure_); }

private:
    void run() noexcept final {
        try {
            const EngineFile::Busy busy(file_, EngineFile::OffInterpreter{});
            perform(file_.core);
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    py::object result() final {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return make_result();
    }

    py::object owner_;
    EngineFile &file_;
    std::exception_ptr failure_;
};
