// corvane.leads (placeholder until its module is built).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(leads, m) { m.doc() = "corvane.leads"; }
