// corvane.crypto (placeholder until its module is built).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(crypto, m) { m.doc() = "corvane.crypto"; }
