// The module only registers: every member binds an EngineFile or engine function directly.

#include <pybind11/native_enum.h>
#include <pybind11/pybind11.h>

#include "builtin_arguments.hpp"
#include "completions.hpp"
#include "engine_fast_methods.hpp"
#include "engine_file.hpp"
#include "executor.hpp"
#include "file_jobs.hpp"
#include "py_errors.hpp"
#include "storage.hpp"

PYBIND11_MODULE(_engine, m) {
    m.doc() = "The file engine of the larkspan asyncio front, callable from any thread";
    py::register_local_exception_translator(translate_front_error);
    py::native_enum<Blocked>(m, "Blocked", "enum.Enum",
                             "What a call made inline_only returns when it would have to wait")
        .value("WOULD_BLOCK", Blocked::WouldBlock)
        .finalize();
    m.attr("WOULD_BLOCK") = EngineFile::would_block();
    m.attr("LARGE_COPY") = EngineFile::kLargeCopy;
    m.def("remember_may_wait", &remember_may_wait, py::arg("device"));
    m.attr("DEFAULT_MAX_THREADS") = Executor::kDefaultMaxThreads;
    m.def("set_max_threads", &set_max_engine_threads, py::arg("count"));
    m.def("max_threads", &max_engine_threads);
    m.def("threads", &engine_threads);
    m.def("forget_threads_after_fork", &forget_engine_threads_after_fork);

    py::class_<Ticket>(m, "Ticket").def("cancel", &Ticket::cancel);
    py::class_<Completions>(m, "Completions")
        .def(py::init<>())
        .def("fileno", &Completions::fileno)
        .def("drain", &Completions::drain)
        .def("discard", &Completions::discard)
        .def("expect", &Completions::expect)
        .def("post", &Completions::post, py::arg("deliver"), py::arg("outcome"))
        .def_property_readonly("in_flight", &Completions::in_flight);
    m.def("size_or_none", &size_or_none, py::arg("value"));

    py::class_<EngineFile> cls(m, "File");
    cls.def(py::init<const std::string &, const std::string &>(), py::arg("filename"),
            py::arg("mode"))
        .def("open", &EngineFile::open)
        .def("open_descriptor", &EngineFile::open_descriptor, py::arg("descriptor"))
        .def("open_path", &EngineFile::open_path, py::arg("path"), py::arg("flags"),
             py::arg("target"))
        .def("close", &EngineFile::close, py::arg("inline_only"))
        .def("read", &EngineFile::read, py::arg("size"), py::arg("inline_only"))
        .def("read1", &EngineFile::read1, py::arg("size"), py::arg("inline_only"))
        .def("readinto", &EngineFile::readinto, py::arg("buffer"), py::arg("inline_only"))
        .def("readline", &EngineFile::readline, py::arg("size"), py::arg("inline_only"))
        .def("readlines", &EngineFile::readlines, py::arg("hint"), py::arg("inline_only"))
        .def("write", &EngineFile::write, py::arg("data"), py::arg("inline_only"))
        .def("writelines", &EngineFile::writelines, py::arg("lines"), py::arg("inline_only"))
        .def("seek", &EngineFile::seek, py::arg("offset"), py::arg("whence"),
             py::arg("inline_only"))
        .def("tell", &EngineFile::tell)
        .def("flush", &EngineFile::flush, py::arg("inline_only"))
        .def("truncate", &EngineFile::truncate, py::arg("size"), py::arg("inline_only"))
        .def("isatty", &EngineFile::isatty, py::arg("inline_only"))
        .def("sync", &EngineFile::sync, py::arg("data_only"), py::arg("inline_only"))
        .def("pread", &EngineFile::pread, py::arg("size"), py::arg("offset"),
             py::arg("inline_only"))
        .def("pwrite", &EngineFile::pwrite, py::arg("data"), py::arg("offset"),
             py::arg("inline_only"))
        .def("start", &start_call, py::arg("completions"), py::arg("deliver"), py::arg("method"))
        .def("start_open", &start_open, py::arg("completions"), py::arg("deliver"), py::arg("path"),
             py::arg("flags"), py::arg("descriptor"), py::arg("close_on_failure"),
             py::arg("target"))
        .def("read_position", &EngineFile::read_position)
        .def("restore_position", &EngineFile::restore_position, py::arg("position"))
        .def("fileno", &EngineFile::fileno)
        .def("seekable", &EngineFile::seekable)
        .def("writable", &EngineFile::writable)
        .def("readable", &EngineFile::readable)
        .def_property_readonly("closed", &EngineFile::closed)
        .def_property_readonly("storage", &EngineFile::storage_name)
        .def_property_readonly("name", &EngineFile::name)
        .def_property_readonly("mode", &EngineFile::mode);
    install_fast_methods(cls);
}
