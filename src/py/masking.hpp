// The secrets of one request and the masking of the texts an error built from its answer
// shows (message, payload). Every module that turns an answer into an error masks through these,
// so that a platform or proxy quoting the request back never puts a credential in str(), a
// traceback or a log line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// The secret values of one request, for masking texts that quote it in any form.
struct Secrets {
  Secrets() = default;
  // `form`: the request's form body (a dict), or None.
  Secrets(std::string_view wire_url, const py::dict& headers, py::handle form);
  // Adds the secret query values of `url` (a URL or a relative URL with a query).
  void add_url(std::string_view url);
  std::vector<std::string> known;
};

// `text` with every known secret (and every secret "name=value" member) masked.
std::string masked_text(py::handle text, const Secrets& secrets);

// Masks the message of an error built from an error answer: a platform or a proxy may quote
// the request back, credentials included ("Invalid OAuth access token: ...", an error page
// echoing its URL), and the message reaches str(), tracebacks and log lines.
void mask_message(py::handle error, const Secrets& secrets);
// The same for the error's payload (the decoded answer), in every text it holds.
void mask_payload(py::handle error, const Secrets& secrets);

}  // namespace corvane::pyutil
