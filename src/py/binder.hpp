// Operations declared once, in a table: each row names the operation, its parameters (name,
// kind, default, keyword-only), its docstring and its body. One binder turns a table into the
// Python methods: the signature text Python's inspect reads, argument binding as a `def` would
// do it, the checks of every parameter's kind with one message form, and the coroutine.
//
//   const binder::Operation kPageOperations[] = {
//       {"subscriptions", {{"page_id", &graph::kNodeId}, {"page_token", &binder::kToken}},
//        "The Page's webhook subscriptions as the platform lists them (one request).",
//        subscriptions_task},
//   };
//   const binder::MethodGroup add_page_methods = binder::group<kPageOperations, "Facebook">;
//
// A wrong argument reads "<operation>: <parameter> must be <what>, not <type name>" and is
// raised at the call, before any coroutine exists. This file knows nothing of any platform.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"
#include "py/names.hpp"
#include "py/pyclass.hpp"

namespace corvane::binder {

namespace py = pybind11;

// What a parameter accepts: `convert` checks a value and gives what the body receives (it
// throws the one message form through wrong_type/wrong_value); `stub` is the type the .pyi
// gives the parameter, and a test holds the two together.
struct Kind {
  const char* stub;
  py::object (*convert)(py::handle value, const char* operation, const char* parameter);
};

struct Param {
  const char* name;
  const Kind* kind;
  // The default as a Python literal ("None", "100", "'me'"), evaluated once; null: required.
  const char* fallback = nullptr;
  bool keyword_only = false;
};

// The checked arguments in the order of the table's parameters, then the **keywords of an
// operation that takes them. A tuple: a task frame that takes it by value has the promise
// report it to the garbage collector while the frame waits.
class Args : public py::tuple {
 public:
  Args() = default;
  explicit Args(py::tuple values) : py::tuple(std::move(values)) {}
  py::object operator[](std::size_t i) const {
    return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(ptr(), i));
  }
  py::dict extras() const {
    return py::reinterpret_borrow<py::dict>(PyTuple_GET_ITEM(ptr(), PyTuple_GET_SIZE(ptr()) - 1));
  }
};

struct Operation;
// `self` is the instance for a method, and None for a module's function.
using TaskBody = bridge::Task<py::object> (*)(py::object self, Args args);
using NowBody = py::object (*)(py::object self, Args args);

struct Operation {
  const char* name;
  std::vector<Param> params;
  const char* doc;
  // One of the two: a coroutine's body (the method returns a coroutine), or a body that
  // answers at once (the method returns its value: a walker, a URL).
  TaskBody task = nullptr;
  NowBody now = nullptr;
  const char* returns = nullptr;  // the stub's return annotation, for the table test
  bool extras = false;            // takes **keywords, handed to the body unchecked
  // A `now` body that checks its arguments at the call and answers with a coroutine: to its
  // callers (and its stub) the operation is async.
  bool awaitable = false;
  // The name its caller knows it by, in the argument messages (a constructor's is its class:
  // "RetryPolicy: attempts must be an int"); null: `name`.
  const char* caller = nullptr;
  // How add_methods puts it on the class: a method, a classmethod (the class is its `self`),
  // a staticmethod (its `self` is None), or a read-only property (a `now` body of no
  // parameters; its doc is `doc` alone).
  enum class As { method, class_method, static_method, property } as = As::method;
  bool takes_self() const { return as != As::static_method; }
};

// ---- the one message form ----

// TypeError "<operation>: <parameter> must be <what>, not <type name of value>".
[[noreturn]] void wrong_type(py::handle value, const char* operation, const char* parameter,
                             const char* what);
// ValueError "<operation>: <parameter> must be <what>, not <repr of value>", the secrets of
// any URL in the repr masked.
[[noreturn]] void wrong_value(py::handle value, const char* operation, const char* parameter,
                              const char* what);

// ---- kinds every client uses ----

extern const Kind kText;        // str
extern const Kind kTextOrNone;  // str | None
extern const Kind kToken;       // str (None too: the request goes out unsigned)
extern const Kind kTexts;       // a list or tuple of str, None for none; a lone str refused
extern const Kind kCount;       // int, not bool
extern const Kind kCountOrNone;
extern const Kind kFlag;        // bool
extern const Kind kAnything;    // any object, handed on as it is

// The conversions behind the kinds, for bodies and hand-written bindings that check a value
// themselves.
py::str text(py::handle value, const char* operation, const char* parameter);
py::object text_or_none(py::handle value, const char* operation, const char* parameter);
py::list texts(py::handle value, const char* operation, const char* parameter);
py::object count(py::handle value, const char* operation, const char* parameter);

// ---- binding ----

// Python-style binding of a call to a signature with named extras (like `def f(a, b=..., *,
// c=..., **extras)`): positional names in order, then keyword-only names; every keyword that
// names none of them goes to `extras`, in the order given. The first positional name is the
// instance or class ("self", "cls"), never taken by name; a type's __new__ has none.
struct Signature {
  const char* function;                    // for messages: "_get", "Facebook"
  std::vector<const char*> positional;     // may be given by position or by name
  std::size_t required;                    // how many leading positional names are required
  std::vector<const char*> keyword_only;   // by name only (all optional)
  std::vector<const char*> required_keyword_only = {};  // by name only, required
  bool takes_extras = true;  // false: a keyword that names none of them is refused
};

struct BoundArgs {
  // Values of positional then keyword-only then required keyword-only names, in declaration
  // order; a null handle where an optional name was not given.
  std::vector<py::object> values;
  py::dict extras;
};

BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs);

// callable(**values, **extras), for a class method that hands a constructor the values it
// found (from_env) beside the caller's options: an option that repeats a name of `values` is
// refused as Python refuses it, "<function>() got multiple values for keyword argument 'x'".
py::object call_with_options(py::handle callable, const char* function, const py::dict& values,
                             const py::dict& extras);


// The values of a call of `op` on `self`: positional and keyword arguments bound as Python
// binds a def's (the same TypeErrors for a missing, repeated or unknown argument), defaults
// filled in, every value converted by its kind.
// `args` holds the instance first when `method`.
Args bind_call(const Operation& op, const std::vector<py::object>& defaults, bool method,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// "name(self, a, b=None, *, c=100)\n--\n\n<doc>": the docstring whose first lines Python's
// inspect reads as the signature.
std::string docstring(const Operation& op, bool method = true);

// The defaults of op's parameters (null where required), evaluated from their literals.
std::vector<py::object> defaults_of(const Operation& op);

// The table's rows as Python data, for the test that holds the stubs to the tables:
// (name, ((param, stub, fallback or None, keyword_only), ...), returns or None).
py::tuple describe(const Operation* ops, std::size_t count);

PyObject* call(const Operation& op, const std::vector<py::object>& defaults,
               const std::string& qualname, bool method, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) noexcept;
// The same for a method of a type made from a PyType_Spec: Python hands it the instance apart
// from the arguments.
PyObject* call_on(const Operation& op, const std::vector<py::object>& defaults,
                  const std::string& qualname, PyObject* self, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) noexcept;

namespace detail {

// What a table's rows need at run time, made when the table is added to its class and kept
// for the life of the process: never destroyed, since a default's destructor would run after
// the interpreter is gone.
template <const auto& Table>
struct Bound {
  static inline auto& defaults = *new std::vector<std::vector<py::object>>;
  static inline auto& qualnames = *new std::vector<std::string>;
  static inline auto& docs = *new std::vector<std::string>;
  static inline auto& defs = *new std::vector<PyMethodDef>;
};

template <const auto& Table, std::size_t I, bool Method>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using B = Bound<Table>;
  return call(Table[I], B::defaults[I], B::qualnames[I], Method && Table[I].takes_self(), args,
              nargs, kwnames);
}

template <const auto& Table, std::size_t I>
PyObject* type_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using B = Bound<Table>;
  return call_on(Table[I], B::defaults[I], B::qualnames[I], self, args, nargs, kwnames);
}

// `OnType`: the methods of a PyType_Spec's type (type_entry), else entry's.
template <const auto& Table, bool Method, bool OnType = false>
std::vector<PyMethodDef>& make_defs(const char* owner) {
  using B = Bound<Table>;
  constexpr std::size_t n = std::size(Table);
  // The functions keep pointers into defs: no reallocation after this (the one spare entry is
  // the end mark of a type's method list).
  B::defs.reserve(n + 1);
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (([&] {
       const Operation& op = Table[I];
       B::defaults.push_back(defaults_of(op));
       B::qualnames.push_back(std::string(owner) + "." + op.name);
       B::docs.push_back(docstring(op, Method && op.takes_self()));
     }()),
     ...);
    (B::defs.push_back(PyMethodDef{
         Table[I].name,
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
             OnType ? &type_entry<Table, I> : &entry<Table, I, Method>)),
         METH_FASTCALL | METH_KEYWORDS, B::docs[I].c_str()}),
     ...);
  }(std::make_index_sequence<n>{});
  return B::defs;
}

}  // namespace detail

template <const auto& Table>
py::tuple describe() {
  return describe(std::data(Table), std::size(Table));
}

// The C function behind row I of `Table`: what attribute look-up finds on the instance while
// no subclass replaced the method (the pipeline runs such a hook without calling it).
template <const auto& Table, std::size_t I>
PyCFunction entry_of() {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(&detail::entry<Table, I, true>));
}

// Adds every operation of `Table` (a static array of Operation) to `cls` as a method (or as
// its row's `as` says), its coroutine named "<owner>.<operation>", and gives the table's rows
// (describe). Call once per table.
template <const auto& Table>
py::tuple add_methods(pyutil::ClassBuilder& cls, const char* owner) {
  std::size_t i = 0;
  for (PyMethodDef& def : detail::make_defs<Table, true>(owner)) {
    switch (Table[i++].as) {
      case Operation::As::method: cls.method(&def); break;
      case Operation::As::class_method: cls.class_method(&def); break;
      case Operation::As::static_method: cls.static_method(&def); break;
      case Operation::As::property: cls.property(def.ml_name, &def); break;
    }
  }
  return describe<Table>();
}

// The methods of a type made from a PyType_Spec (its Py_tp_methods): every row of `Table`, the
// instance its `self`, ended by a zeroed entry. Call once per table.
template <const auto& Table>
PyMethodDef* type_methods(const char* owner) {
  std::vector<PyMethodDef>& defs = detail::make_defs<Table, true, true>(owner);
  defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  return defs.data();
}

// Adds every operation of `Table` to `module` as a function (its body gets None as self).
template <const auto& Table>
void add_functions(py::module_ module) {
  const char* owner = PyModule_GetName(module.ptr());
  if (owner == nullptr) throw py::error_already_set();
  for (PyMethodDef& def : detail::make_defs<Table, false>(owner)) {
    auto fn = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def, nullptr, module.ptr()));
    if (!fn) throw py::error_already_set();
    module.attr(def.ml_name) = fn;
  }
}

// A client's group of methods, as the file that holds them offers it to the module: adds them
// to the class and gives the rows of their table for the module's _OPERATIONS.
using MethodGroup = py::tuple (*)(pyutil::ClassBuilder& cls);

// The group of one table's methods on the class `Owner`, declared beside the table:
//   const binder::MethodGroup add_page_methods = binder::group<kPageOperations, "Facebook">;
template <const auto& Table, pyutil::Literal Owner>
py::tuple group(pyutil::ClassBuilder& cls) {
  return add_methods<Table>(cls, Owner.text);
}

// Adds every group to the class, in order; the rows of all their tables.
py::tuple add_groups(pyutil::ClassBuilder& cls, std::initializer_list<MethodGroup> groups);

}  // namespace corvane::binder
