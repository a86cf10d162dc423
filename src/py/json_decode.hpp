// JSON text to Python objects with simdjson, for response bodies: several times faster than
// bytes -> str -> json.loads on the pages the Graph API sends, with the same result.
//
// The decoder declines (returns an empty object) whenever it could differ from json.loads on
// the UTF-8 text of the same bytes: invalid UTF-8 or JSON, integers beyond 64 bits, the
// NaN/Infinity literals, lone surrogate escapes, numbers that overflow a double, nesting
// deeper than kMaxDepth. The caller then takes the json.loads path, so every body decodes
// to exactly what json.loads gives: dict members in document order (a repeated key keeps its
// first position and its last value), integers as int, everything else numeric as float.
#pragma once

#include <string_view>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// Deeper documents go to json.loads, whose own limit then decides; this bound also keeps the
// decoder's recursion well inside the C stack.
inline constexpr std::size_t kMaxDepth = 256;

// The value of the JSON document `utf8`, or an empty py::object when the decoder declines.
// Throws only for a failure of Python itself (MemoryError).
py::object decode_json(std::string_view utf8);

}  // namespace corvane::pyutil
