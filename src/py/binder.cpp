// The binder: signature text, argument binding, the kinds' checks, the coroutine.
#include "py/binder.hpp"

#include <string_view>

#include "core/mask.hpp"
#include "py/values.hpp"

namespace corvane::binder {
namespace {

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

bool is_positional(const Param& p) { return !p.keyword_only; }

std::size_t positional_count(const Operation& op) {
  std::size_t n = 0;
  for (const Param& p : op.params) n += is_positional(p) ? 1 : 0;
  return n;
}

// Python's own wording for a call that does not fit the signature, so that a binder method
// fails as a def would.
const char* caller(const Operation& op) { return op.caller != nullptr ? op.caller : op.name; }

[[noreturn]] void call_error(const Operation& op, const std::string& what) {
  throw py::type_error(std::string(caller(op)) + "() " + what);
}

py::object convert_text(py::handle value, const char* operation, const char* parameter) {
  return text(value, operation, parameter);
}

py::object convert_token(py::handle value, const char* operation, const char* parameter) {
  if (value.is_none()) return py::none();
  return text(value, operation, parameter);
}

py::object convert_texts(py::handle value, const char* operation, const char* parameter) {
  return texts(value, operation, parameter);
}

py::object convert_count_or_none(py::handle value, const char* operation, const char* parameter) {
  if (value.is_none()) return py::none();
  if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) {
    wrong_type(value, operation, parameter, "an int or None");
  }
  return py::reinterpret_borrow<py::object>(value);
}

py::object convert_flag(py::handle value, const char* operation, const char* parameter) {
  if (!PyBool_Check(value.ptr())) wrong_type(value, operation, parameter, "a bool");
  return py::reinterpret_borrow<py::object>(value);
}

py::object convert_anything(py::handle value, const char*, const char*) {
  return py::reinterpret_borrow<py::object>(value);
}

[[noreturn]] void missing(const Signature& sig, const char* name) {
  throw py::type_error(std::string(sig.function) + "() missing required argument: '" + name +
                       "'");
}

}  // namespace

void wrong_type(py::handle value, const char* operation, const char* parameter,
                const char* what) {
  throw py::type_error(std::string(operation) + ": " + parameter + " must be " + what +
                       ", not " + type_name(value));
}

void wrong_value(py::handle value, const char* operation, const char* parameter,
                 const char* what) {
  // The repr is masked: a wrong id or path is often a URL, and a URL may carry a token.
  throw py::value_error(std::string(operation) + ": " + parameter + " must be " + what +
                        ", not " + core::mask_secrets_in_text(std::string(py::repr(value))));
}

const Kind kText{"str", convert_text};
const Kind kTextOrNone{"str | None", text_or_none};
const Kind kToken{"str", convert_token};  // None is let through, but not typed
const Kind kTexts{"list[str] | tuple[str, ...] | None", convert_texts};
const Kind kCount{"int", count};
const Kind kCountOrNone{"int | None", convert_count_or_none};
const Kind kFlag{"bool", convert_flag};
const Kind kAnything{"Any", convert_anything};

py::str text(py::handle value, const char* operation, const char* parameter) {
  if (!PyUnicode_Check(value.ptr())) wrong_type(value, operation, parameter, "a str");
  return py::reinterpret_borrow<py::str>(value);
}

py::object text_or_none(py::handle value, const char* operation, const char* parameter) {
  if (!value || value.is_none()) return py::none();
  // The message names None too: the caller may pass it.
  if (!PyUnicode_Check(value.ptr())) wrong_type(value, operation, parameter, "a str or None");
  return py::reinterpret_borrow<py::str>(value);
}

py::list texts(py::handle value, const char* operation, const char* parameter) {
  py::list out;
  if (!value || value.is_none()) return out;
  // A lone str would be read letter by letter, bytes as numbers, a dict by its keys; any other
  // iterable of str is taken, as it always was.
  PyObject* v = value.ptr();
  if (PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) || PyDict_Check(v)) {
    wrong_type(value, operation, parameter, "a list of str");
  }
  auto items = py::reinterpret_steal<py::iterator>(PyObject_GetIter(v));
  if (!items) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    wrong_type(value, operation, parameter, "a list of str");
  }
  for (py::handle item : items) {
    if (!PyUnicode_Check(item.ptr())) {
      wrong_type(item, operation, parameter, "a list of str (each item a str)");
    }
    out.append(item);
  }
  return out;
}

py::object count(py::handle value, const char* operation, const char* parameter) {
  // A bool is an int to Python, but limit=True means nothing a caller would intend.
  if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) {
    wrong_type(value, operation, parameter, "an int");
  }
  return py::reinterpret_borrow<py::object>(value);
}

BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  const std::size_t n_pos = sig.positional.size();
  if (given > n_pos) {
    const std::size_t self = n_pos > 0 ? 1 : 0;  // not counted: the caller never passes it
    throw py::type_error(std::string(sig.function) + "() takes at most " +
                         std::to_string(n_pos - self) + " positional arguments (" +
                         std::to_string(given - self) + " given)");
  }
  BoundArgs out;
  const std::size_t n_all = n_pos + sig.keyword_only.size() + sig.required_keyword_only.size();
  out.values.resize(n_all);
  for (std::size_t i = 0; i < given; ++i) {
    out.values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
  }
  auto slot_of = [&](std::string_view key) -> std::ptrdiff_t {
    std::size_t i = 0;
    for (const auto* names : {&sig.positional, &sig.keyword_only, &sig.required_keyword_only}) {
      for (const char* name : *names) {
        if (key == name) return static_cast<std::ptrdiff_t>(i);
        ++i;
      }
    }
    return -1;
  };
  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) throw py::type_error("keywords must be strings");
      const std::ptrdiff_t slot = slot_of(pyutil::utf8(key));
      if (slot < 0 || (slot == 0 && n_pos > 0)) {  // "self" is never taken by name
        if (!sig.takes_extras) {
          throw py::type_error(std::string(sig.function) + "() got an unexpected keyword argument '" +
                               std::string(pyutil::utf8(key)) + "'");
        }
        out.extras[key] = py::handle(value);
        continue;
      }
      if (out.values[slot]) {
        throw py::type_error(std::string(sig.function) + "() got multiple values for argument '" +
                             std::string(pyutil::utf8(key)) + "'");
      }
      out.values[slot] = py::reinterpret_borrow<py::object>(value);
    }
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (!out.values[i]) missing(sig, sig.positional[i]);
  }
  const std::size_t first_required_kw = n_pos + sig.keyword_only.size();
  for (std::size_t i = first_required_kw; i < n_all; ++i) {
    if (!out.values[i]) missing(sig, sig.required_keyword_only[i - first_required_kw]);
  }
  return out;
}

Args bind_call(const Operation& op, const std::vector<py::object>& defaults, bool method,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const std::size_t n_params = op.params.size();
  const std::size_t n_positional = positional_count(op);
  const std::size_t first = method ? 1 : 0;  // args[0] is the instance of a method
  const std::size_t given = static_cast<std::size_t>(nargs) - first;
  if (given > n_positional) {
    call_error(op, "takes " + std::to_string(n_positional + first) +
                       " positional arguments but " + std::to_string(given + first) +
                       " were given");
  }
  py::tuple out(n_params + 1);
  py::dict extras;
  std::vector<PyObject*> raw(n_params, nullptr);
  for (std::size_t i = 0, slot = 0; i < given; ++slot) {
    if (is_positional(op.params[slot])) raw[slot] = args[first + i++];
  }
  if (kwnames != nullptr) {
    const Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[nargs + k];
      const std::string_view name = pyutil::utf8(key);
      std::size_t slot = 0;
      while (slot < n_params && name != op.params[slot].name) ++slot;
      if (slot == n_params) {
        if (!op.extras) {
          call_error(op, "got an unexpected keyword argument '" + std::string(name) + "'");
        }
        extras[key] = py::handle(value);
        continue;
      }
      if (raw[slot] != nullptr) {
        call_error(op, "got multiple values for argument '" + std::string(name) + "'");
      }
      raw[slot] = value;
    }
  }
  for (std::size_t i = 0; i < n_params; ++i) {
    const Param& p = op.params[i];
    py::handle value = raw[i] != nullptr ? py::handle(raw[i]) : py::handle(defaults[i]);
    if (!value) {
      call_error(op, std::string("missing 1 required ") +
                         (p.keyword_only ? "keyword-only" : "positional") + " argument: '" +
                         p.name + "'");
    }
    PyTuple_SET_ITEM(out.ptr(), i, p.kind->convert(value, caller(op), p.name).release().ptr());
  }
  PyTuple_SET_ITEM(out.ptr(), n_params, extras.release().ptr());
  return Args(std::move(out));
}

std::string docstring(const Operation& op, bool method) {
  if (op.as == Operation::As::property) return op.doc;
  const bool on_class = op.as == Operation::As::class_method;
  std::string text = std::string(op.name) + (!method ? "(" : on_class ? "(cls" : "(self");
  bool star = false;
  bool first = !method;
  for (const Param& p : op.params) {
    if (!first) text += ", ";
    first = false;
    if (p.keyword_only && !star) {
      text += "*, ";
      star = true;
    }
    text += p.name;
    if (p.fallback != nullptr) {
      text += "=";
      text += p.fallback;
    }
  }
  if (op.extras) text += first ? "**query" : ", **query";
  text += ")\n--\n\n";
  if (op.doc != nullptr) text += op.doc;
  return text;
}

std::vector<py::object> defaults_of(const Operation& op) {
  std::vector<py::object> out;
  py::object literal_eval;
  for (const Param& p : op.params) {
    if (p.fallback == nullptr) {
      out.emplace_back();
      continue;
    }
    if (!literal_eval) literal_eval = py::module_::import("ast").attr("literal_eval");
    out.push_back(literal_eval(p.fallback));
  }
  return out;
}

py::tuple describe(const Operation* ops, std::size_t count) {
  py::list rows;
  for (std::size_t i = 0; i < count; ++i) {
    const Operation& op = ops[i];
    py::list params;
    for (const Param& p : op.params) {
      params.append(py::make_tuple(p.name, p.kind->stub,
                                   p.fallback ? py::object(py::str(p.fallback)) : py::none(),
                                   py::bool_(p.keyword_only)));
    }
    rows.append(py::make_tuple(op.name, py::tuple(params),
                               op.returns ? py::object(py::str(op.returns)) : py::none(),
                               py::bool_(op.task != nullptr || op.awaitable)));
  }
  return py::tuple(rows);
}

py::object call_with_options(py::handle callable, const char* function, const py::dict& values,
                             const py::dict& extras) {
  py::dict keywords = pyutil::copy_dict(values);
  for (auto [name, value] : extras) {
    if (keywords.contains(name)) {
      throw py::type_error(std::string(function) +
                           "() got multiple values for keyword argument '" +
                           std::string(py::str(name)) + "'");
    }
    keywords[name] = value;
  }
  return callable(**keywords);
}

py::tuple add_groups(pyutil::ClassBuilder& cls, std::initializer_list<MethodGroup> groups) {
  py::list rows;
  for (MethodGroup add : groups) {
    for (py::handle row : add(cls)) rows.append(row);
  }
  return py::tuple(rows);
}

namespace {

py::object run(const Operation& op, const std::string& qualname, py::object self, Args bound) {
  if (op.now != nullptr) return op.now(std::move(self), std::move(bound));
  return bridge::as_coroutine(op.task(std::move(self), std::move(bound)), qualname.c_str());
}

}  // namespace

PyObject* call(const Operation& op, const std::vector<py::object>& defaults,
               const std::string& qualname, bool method, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return pyutil::guarded([&]() -> py::object {
    if (method && nargs < 1) call_error(op, "needs its instance");
    py::object self = method ? py::reinterpret_borrow<py::object>(args[0]) : py::none();
    return run(op, qualname, std::move(self),
               bind_call(op, defaults, method, args, nargs, kwnames));
  });
}

PyObject* call_on(const Operation& op, const std::vector<py::object>& defaults,
                  const std::string& qualname, PyObject* self, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return pyutil::guarded([&]() -> py::object {
    return run(op, qualname, py::reinterpret_borrow<py::object>(self),
               bind_call(op, defaults, false, args, nargs, kwnames));
  });
}

}  // namespace corvane::binder
