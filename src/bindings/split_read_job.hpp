#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <pybind11/pybind11.h>

#include "completions.hpp"
#include "engine_file.hpp"

namespace py = pybind11;

// Whether read(count) of `file` may be cut into pieces (SplitRead): a regular file on storage that
// waits, read to the end or for at least the least count its storage cuts.
bool read_may_split(const EngineFile &file, std::optional<std::uint64_t> count);

// read(count) of the File `self`, started on the engine's threads, that looks first at how much it
// will bring: a read that is large enough goes on as pieces read side by side, whose bytes become
// one result, as the same read in one call would give it (with where it started, as every read
// from the position delivers), and the position is left after them; a smaller one reads at once.
std::unique_ptr<BoundJob> split_read_job(const py::object &self, Completions &completions,
                                         py::object deliver, std::optional<std::uint64_t> count,
                                         std::size_t expected);
