// corvane.crypto: the Graph API's appsecret_proof and the webhook signature check.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
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

using corvane::binder::Args;

// The body size above which the digest is computed without the GIL.
constexpr std::size_t kReleaseGilAbove = 4096;

// A str has no single byte form to sign: only the bytes as received.
py::object raw_bytes(py::handle value, const char* operation, const char* parameter) {
  if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr())) {
    wrong_type(value, operation, parameter, "bytes");
  }
  return py::reinterpret_borrow<py::object>(value);
}

const corvane::binder::Kind kBody{"bytes | bytearray | memoryview", raw_bytes};

py::object appsecret_proof(py::object, Args args) {
  const auto token = corvane::pyutil::utf8(args[0]);
  const auto secret = corvane::pyutil::utf8(args[1]);
  return py::str(corvane::core::hmac_sha256_hex(secret, token));
}

py::object verify_signature(py::object, Args args) {
  const auto secret = corvane::pyutil::utf8(args[0]);
  const BytesArg raw(args[1], "verify_signature", "body");
  // None, or lone surrogates, which cannot be a hex signature: malformed, not an error of the
  // caller.
  const auto header = corvane::pyutil::utf8_if_text(args[2]);
  if (!header) return py::bool_(false);
  // Hashing a large body is left to run without the GIL, as hashlib does. The secret and
  // header views stay valid: their str objects are held by args, and the buffer export keeps
  // a bytearray from being resized meanwhile.
  std::optional<py::gil_scoped_release> unlocked;
  if (raw.bytes().size() > kReleaseGilAbove) unlocked.emplace();
  const bool valid = corvane::core::verify_sha256_signature(secret, raw.bytes(), *header);
  unlocked.reset();
  return py::bool_(valid);
}

const corvane::binder::Operation kFunctions[] = {
    {"appsecret_proof",
     {{"token", &corvane::binder::kText}, {"app_secret", &corvane::binder::kText}},
     "The lower-case hex HMAC-SHA256 of ``token`` keyed with ``app_secret``, sent as the\n"
     "``appsecret_proof`` query parameter beside ``access_token``.\n"
     "Raises TypeError naming the argument when either is not a str.",
     nullptr, appsecret_proof, "str"},
    {"verify_signature",
     {{"app_secret", &corvane::binder::kText},
      {"body", &kBody},
      {"header", &corvane::binder::kTextOrNone}},
     "True only when ``header`` is \"sha256=\" followed by the hex HMAC-SHA256 of the raw\n"
     "``body`` bytes keyed with ``app_secret`` (hex in either letter case). An absent,\n"
     "empty or malformed header, or an empty app secret, gives False. The digests are\n"
     "compared in constant time. ``body`` must be the bytes as received (a str is a\n"
     "TypeError); ``app_secret`` and ``header`` must be str (``header`` may be None).",
     nullptr, verify_signature, "bool"},
};

}  // namespace

PYBIND11_MODULE(crypto, m) {
  m.doc() =
      "HMAC-SHA256 helpers for Meta's platform.\n\n"
      "``appsecret_proof`` is the proof the Graph API accepts beside an access token;\n"
      "``verify_signature`` checks the X-Hub-Signature-256 header of a webhook delivery.";
  corvane::binder::add_functions<kFunctions>(m);
  // The functions' table as data: a test holds the stub to it.
  py::dict operations;
  operations[""] = corvane::binder::describe<kFunctions>();
  m.attr("_OPERATIONS") = operations;

  m.attr("SECRET_NAMES") = py::tuple(py::cast(corvane::core::kSecretNames));
}
