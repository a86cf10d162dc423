// corvane.facebook (placeholder until its module is built).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(facebook, m) { m.doc() = "corvane.facebook"; }
