// corvane.webhooks (placeholder until its module is built).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(webhooks, m) { m.doc() = "corvane.webhooks"; }
