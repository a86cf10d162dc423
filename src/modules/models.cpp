// corvane.models (placeholder until its module is built).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(models, m) { m.doc() = "corvane.models"; }
