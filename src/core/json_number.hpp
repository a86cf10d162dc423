// Numbers written the way Python writes them: floats in shortest round-trip form (repr) and
// the JSON literals for the non-finite ones.
#pragma once

#include "core/text_buffer.hpp"

namespace corvane::core {

// Appends repr(x): the fewest significant digits that read back to x, positional with at least
// one digit after the point when the decimal exponent lies in [-4, 16) ("1.0", "0.0001",
// "1e+16", "1e-05", "-0.0"); "nan", "inf" and "-inf" for the non-finite values.
void append_float_repr(TextBuffer& out, double x);

// Appends x as Python's json module writes it: repr for finite values, "NaN", "Infinity" and
// "-Infinity" otherwise.
void append_json_float(TextBuffer& out, double x);

// Appends the decimal form of a 64-bit integer.
void append_integer(TextBuffer& out, long long value);

}  // namespace corvane::core
