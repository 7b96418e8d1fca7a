#pragma once

#include <exception>
#include <string_view>

#include <pybind11/pybind11.h>

#include "completions.hpp"
#include "engine_file.hpp"
#include "engine_file_locks.hpp"

namespace py = pybind11;

// A call on an EngineFile that an engine thread carries out: carry_out() on the engine thread,
// never touching Python; make_result() on the loop's thread, unless carry_out() threw, whose
// exception is raised there instead. The job holds the Python object, so the file lives until the
// job is delivered.
class EngineFileJob : public BoundJob {
public:
    EngineFileJob(const py::object &self, Completions &completions, py::object deliver)
        : BoundJob(completions.queue(), std::move(deliver)), owner_(self),
          file_(self.cast<EngineFile &>()) {}

protected:
    virtual void carry_out() = 0;
    virtual py::object make_result() = 0;

    EngineFile &file() { return file_; }
    const EngineFile &file() const { return file_; }
    const py::object &owner() const { return owner_; }
    bool failed() const { return static_cast<bool>(failure_); }

private:
    void run() noexcept final {
        try {
            carry_out();
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

// A call that holds the file's lock while it runs.
class FileJob : public EngineFileJob {
public:
    using EngineFileJob::EngineFileJob;

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

    bool binary() const { return file().is_binary; }

private:
    void carry_out() final {
        const EngineFile::Busy busy(file(), EngineFile::OffInterpreter{});
        perform(file().core);
    }
};
