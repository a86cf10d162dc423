// Secrets of a request and the masking of an error's message and payload.
#include "py/masking.hpp"

#include "core/mask.hpp"
#include "py/values.hpp"

namespace corvane::pyutil {

std::string masked_text(py::handle text, const Secrets& secrets) {
  return core::mask_secrets_in_text(utf8(text), secrets.known);
}

void Secrets::add_url(std::string_view url) {
  for (std::string& value : core::secret_values(url)) known.push_back(std::move(value));
}

Secrets::Secrets(std::string_view wire_url, const py::dict& headers, py::handle form)
    : known(core::secret_values(wire_url)) {
  // A form body's secrets (a client_secret sent in a token exchange), by the same names.
  if (PyDict_Check(form.ptr())) {
    py::list fields = py::reinterpret_steal<py::list>(PyDict_Items(form.ptr()));
    if (!fields) throw py::error_already_set();
    for (py::handle field : fields) {
      py::object name = field[py::int_(0)];
      py::object value = field[py::int_(1)];
      if (PyUnicode_Check(name.ptr()) && PyUnicode_Check(value.ptr()) &&
          core::is_secret_param(utf8(name))) {
        known.emplace_back(utf8(value));
      }
    }
  }
  // A bearer token in the Authorization header: the whole value and the credential alone.
  py::list items = py::reinterpret_steal<py::list>(PyDict_Items(headers.ptr()));
  if (!items) throw py::error_already_set();
  for (py::handle item : items) {
    py::object name = item[py::int_(0)];
    py::object value = item[py::int_(1)];
    if (!PyUnicode_Check(name.ptr()) || !PyUnicode_Check(value.ptr())) continue;
    if (!py::str(name).attr("lower")().equal(py::str("authorization"))) continue;
    const std::string text(utf8(value));
    known.push_back(text);
    const auto space = text.find(' ');
    if (space != std::string::npos) known.push_back(text.substr(space + 1));
  }
}

void mask_message(py::handle error, const Secrets& secrets) {
  py::object message = py::getattr(error, "message", py::none());
  if (!PyUnicode_Check(message.ptr())) return;
  const std::string masked = masked_text(message, secrets);
  if (masked == utf8(message)) return;
  const py::str text(masked);
  error.attr("message") = text;
  error.attr("args") = py::make_tuple(text);
}

namespace {

// `value` with the known secrets masked in every text it holds; containers are changed in
// place (the decoded body belongs to the error alone), keys included.
py::object masked_value(py::handle value, const Secrets& secrets, int depth) {
  if (PyUnicode_Check(value.ptr())) {
    const std::string masked = masked_text(value, secrets);
    if (masked == utf8(value)) return py::reinterpret_borrow<py::object>(value);
    return py::str(masked);
  }
  // Deeper than any decoder nests: a text there would be masked by nobody, so it is dropped.
  if (depth > 2000) return py::none();
  if (PyList_Check(value.ptr())) {
    const Py_ssize_t n = PyList_GET_SIZE(value.ptr());
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(value.ptr()); ++i) {
      py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(value.ptr(), i));
      py::object masked = masked_value(item, secrets, depth + 1);
      if (!masked.is(item) && PyList_SetItem(value.ptr(), i, masked.release().ptr()) < 0) {
        throw py::error_already_set();
      }
    }
  } else if (PyDict_Check(value.ptr())) {
    py::list items = py::reinterpret_steal<py::list>(PyDict_Items(value.ptr()));
    if (!items) throw py::error_already_set();
    for (py::handle item : items) {
      py::object key = item[py::int_(0)];
      py::object member = item[py::int_(1)];
      py::object masked_key = masked_value(key, secrets, depth + 1);
      py::object masked_member = masked_value(member, secrets, depth + 1);
      if (!masked_key.is(key) && PyDict_DelItem(value.ptr(), key.ptr()) < 0) {
        throw py::error_already_set();
      }
      if ((!masked_key.is(key) || !masked_member.is(member)) &&
          PyDict_SetItem(value.ptr(), masked_key.ptr(), masked_member.ptr()) < 0) {
        throw py::error_already_set();
      }
    }
  }
  return py::reinterpret_borrow<py::object>(value);
}

}  // namespace

void mask_payload(py::handle error, const Secrets& secrets) {
  py::object payload = py::getattr(error, "payload", py::none());
  py::object masked = masked_value(payload, secrets, 0);
  if (!masked.is(payload)) error.attr("payload") = masked;
}

}  // namespace corvane::pyutil
