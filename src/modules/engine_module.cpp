// The module only registers: every member binds an EngineFile or engine function directly.

#include <pybind11/pybind11.h>

#include "builtin_arguments.hpp"
#include "engine_fast_methods.hpp"
#include "engine_file.hpp"
#include "py_errors.hpp"
#include "storage.hpp"

PYBIND11_MODULE(_engine, m) {
    m.doc() = "The file engine of the larkspan asyncio front, callable from any thread";
    py::register_local_exception_translator(translate_front_error);
    m.attr("WOULD_BLOCK") = EngineFile::would_block();
    m.attr("LARGE_COPY") = EngineFile::kLargeCopy;
    m.def("remember_may_wait", &remember_may_wait, py::arg("device"));
    m.def("size_or_none", &size_or_none, py::arg("value"));

    py::class_<EngineFile> cls(m, "File");
    cls.def(py::init<const std::string &, const std::string &>(), py::arg("filename"),
            py::arg("mode"))
        .def("open", &EngineFile::open)
        .def("open_descriptor", &EngineFile::open_descriptor, py::arg("descriptor"))
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
