// corvane.endpoints (placeholder until its module is built).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(endpoints, m) { m.doc() = "corvane.endpoints"; }
