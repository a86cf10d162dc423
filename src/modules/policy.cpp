// corvane.policy (placeholder until its module is built).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(policy, m) { m.doc() = "corvane.policy"; }
