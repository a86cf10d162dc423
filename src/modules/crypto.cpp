// corvane.crypto: the Graph API's appsecret_proof and the webhook signature check.
#include <pybind11/pybind11.h>

#include <string>

#include "core/hmac.hpp"
#include "core/mask.hpp"
#include "py/binder.hpp"
#include "py/text_args.hpp"
#include "py/values.hpp"

namespace py = pybind11;
using corvane::binder::wrong_type;
using corvane::pyutil::BytesArg;

namespace {

// Hashing a large body is left to run without the GIL, as hashlib does.
constexpr std::size_t kReleaseGilAbove = 4096;

std::string_view text_arg(py::handle value, const char* operation, const char* parameter) {
  return corvane::pyutil::utf8(corvane::binder::text(value, operation, parameter));
}

py::str appsecret_proof(const py::object& token, const py::object& app_secret) {
  const auto token_text = text_arg(token, "appsecret_proof", "token");
  const auto secret_text = text_arg(app_secret, "appsecret_proof", "app_secret");
  const std::string hex = corvane::core::hmac_sha256_hex(secret_text, token_text);
  return py::str(hex);
}

bool verify_signature(const py::object& app_secret, const py::object& body,
                      const py::object& header) {
  const auto secret = text_arg(app_secret, "verify_signature", "app_secret");
  // A str has no single byte form to sign.
  if (PyUnicode_Check(body.ptr()) || !PyObject_CheckBuffer(body.ptr())) {
    wrong_type(body, "verify_signature", "body", "bytes");
  }
  const BytesArg raw(body, "verify_signature", "body");
  if (header.is_none()) return false;
  if (!PyUnicode_Check(header.ptr())) {
    wrong_type(header, "verify_signature", "header", "a str or None");
  }
  // Lone surrogates cannot be a hex signature: malformed, not an error of the caller.
  const auto header_text = corvane::pyutil::utf8_if_text(header);
  if (!header_text) return false;
  if (raw.bytes().size() > kReleaseGilAbove) {
    // The secret and header views stay valid: their str objects are owned by the caller's
    // frame, and the buffer export keeps a bytearray from being resized meanwhile.
    py::gil_scoped_release unlocked;
    return corvane::core::verify_sha256_signature(secret, raw.bytes(), *header_text);
  }
  return corvane::core::verify_sha256_signature(secret, raw.bytes(), *header_text);
}

}  // namespace

PYBIND11_MODULE(crypto, m) {
  // Each docstring starts with its own text signature, which help() and inspect read.
  py::options options;
  options.disable_function_signatures();
  m.doc() =
      "HMAC-SHA256 helpers for Meta's platform.\n\n"
      "``appsecret_proof`` is the proof the Graph API accepts beside an access token;\n"
      "``verify_signature`` checks the X-Hub-Signature-256 header of a webhook delivery.";

  m.def("appsecret_proof", &appsecret_proof, py::arg("token"), py::arg("app_secret"),
        "appsecret_proof(token, app_secret)\n--\n\n"
        "The lower-case hex HMAC-SHA256 of ``token`` keyed with ``app_secret``, sent as the\n"
        "``appsecret_proof`` query parameter beside ``access_token``.\n"
        "Raises TypeError naming the argument when either is not a str.");

  m.def("verify_signature", &verify_signature, py::arg("app_secret"), py::arg("body"),
        py::arg("header"),
        "verify_signature(app_secret, body, header)\n--\n\n"
        "True only when ``header`` is \"sha256=\" followed by the hex HMAC-SHA256 of the raw\n"
        "``body`` bytes keyed with ``app_secret`` (hex in either letter case). An absent,\n"
        "empty or malformed header, or an empty app secret, gives False. The digests are\n"
        "compared in constant time. ``body`` must be the bytes as received (a str is a\n"
        "TypeError); ``app_secret`` and ``header`` must be str (``header`` may be None).");

  py::tuple names(corvane::core::kSecretNames.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string_view name = corvane::core::kSecretNames[i];
    names[i] = py::str(name.data(), name.size());
  }
  m.attr("SECRET_NAMES") = names;
}
