// Plain mutable records with a fixed set of fields (no other attribute can be added), built as
// small raw heap types: construction by position or by name with per-field defaults and type
// checks, value equality over all fields in order, a dataclass-style repr, copy/pickle support,
// and cheap creation from C++ (a record is a header plus one owned reference per field).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

enum class FieldCheck { Any, Text, OptionalText, Dict };
enum class FieldDefault { Required, None, NewDict };

struct RecordField {
  const char* name;
  FieldCheck check;
  FieldDefault fallback;
  const char* doc;
};

// Shape provides: kName ("package.module.Class"), kDoc (first line: the call signature, then
// "--" and a blank line), kFields (RecordField[]), and static PyGetSetDef* extra_getsets() and
// PyMethodDef* extra_methods() (arrays ending with a zeroed entry, or nullptr).
template <class Shape>
class RecordType {
 public:
  static constexpr std::size_t kSize = std::size(Shape::kFields);

  struct Object {
    PyObject_HEAD
    py::object slots[kSize];
  };

  // Creates the type and adds it to `module` under its class name.
  static void add_to(py::module_& module, const char* attr) {
    build_tables();
    PyType_Slot type_slots[] = {
        {Py_tp_doc, const_cast<char*>(Shape::kDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&tp_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&tp_clear)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&tp_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_tp_repr, reinterpret_cast<void*>(&tp_repr)},
        {Py_tp_getset, getsets().data()},
        {Py_tp_methods, methods().data()},
        {0, nullptr},
    };
    PyType_Spec type_spec{Shape::kName, static_cast<int>(sizeof(Object)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, type_slots};
    auto type = py::reinterpret_steal<py::object>(PyType_FromSpec(&type_spec));
    if (!type) throw py::error_already_set();
    py::tuple match_args(kSize);
    for (std::size_t i = 0; i < kSize; ++i) match_args[i] = py::str(Shape::kFields[i].name);
    type.attr("__match_args__") = match_args;
    module.add_object(attr, type);
    type_ = reinterpret_cast<PyTypeObject*>(type.release().ptr());  // kept for the process
  }

  static PyTypeObject* type() { return type_; }
  static bool is_instance(py::handle obj) { return obj && Py_TYPE(obj.ptr()) == type_; }

  // The field at `index` (None while the record is being torn down).
  static py::handle get(py::handle self, std::size_t index) {
    const py::object& slot = as_record(self.ptr())->slots[index];
    return slot ? py::handle(slot) : py::handle(Py_None);
  }
  static void set(py::handle self, std::size_t index, py::object value) {
    as_record(self.ptr())->slots[index] = std::move(value);
  }

  // A new record with every field at its default (None for required fields: the caller fills
  // them before handing the record out).
  static py::object make_default() {
    py::object self = allocate(type_);
    for (std::size_t i = 0; i < kSize; ++i) set(self, i, default_value(i));
    return self;
  }

  // A new record holding `values`, unchecked: for C++ callers that built them.
  static py::object make(std::array<py::object, kSize> values) {
    py::object self = allocate(type_);
    for (std::size_t i = 0; i < kSize; ++i) set(self, i, std::move(values[i]));
    return self;
  }

 private:
  inline static PyTypeObject* type_ = nullptr;

  static Object* as_record(PyObject* self) { return reinterpret_cast<Object*>(self); }
  static const char* class_name() {
    const std::string_view full(Shape::kName);
    return Shape::kName + full.rfind('.') + 1;
  }

  // The type allows no subclasses, so every record has exactly this layout: no zero-filling
  // of the whole object (the slots are set up here) and tracking once they are valid.
  static py::object allocate(PyTypeObject* type) {
    Object* self = PyObject_GC_New(Object, type);
    if (self == nullptr) throw py::error_already_set();
    for (auto& slot : self->slots) new (&slot) py::object();
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
  }

  static py::object default_value(std::size_t index) {
    if (Shape::kFields[index].fallback == FieldDefault::NewDict) return py::dict();
    return py::none();
  }

  // Sets a TypeError naming the field when `value` does not suit it.
  static bool accepts(std::size_t index, PyObject* value) {
    const RecordField& field = Shape::kFields[index];
    const char* wanted = nullptr;
    switch (field.check) {
      case FieldCheck::Any: return true;
      case FieldCheck::Text:
        if (PyUnicode_Check(value)) return true;
        wanted = "a str";
        break;
      case FieldCheck::OptionalText:
        if (value == Py_None || PyUnicode_Check(value)) return true;
        wanted = "a str or None";
        break;
      case FieldCheck::Dict:
        if (PyDict_Check(value)) return true;
        wanted = "a dict";
        break;
    }
    PyErr_Format(PyExc_TypeError, "%s: %s must be %s, not %s", class_name(), field.name, wanted,
                 Py_TYPE(value)->tp_name);
    return false;
  }

  static int field_index(PyObject* name) {
    for (std::size_t i = 0; i < kSize; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, Shape::kFields[i].name) == 0) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > static_cast<Py_ssize_t>(kSize)) {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)",
                   class_name(), static_cast<Py_ssize_t>(kSize), nargs);
      return nullptr;
    }
    std::array<PyObject*, kSize> given{};  // borrowed from args/kwargs for this call only
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const int index = PyUnicode_Check(key) ? field_index(key) : -1;
        if (index < 0) {
          PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R",
                       class_name(), key);
          return nullptr;
        }
        if (given[index] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                       class_name(), Shape::kFields[index].name);
          return nullptr;
        }
        given[index] = value;
      }
    }
    for (std::size_t i = 0; i < kSize; ++i) {
      if (given[i] == nullptr && Shape::kFields[i].fallback == FieldDefault::Required) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument: '%s'", class_name(),
                     Shape::kFields[i].name);
        return nullptr;
      }
      if (given[i] != nullptr && !accepts(i, given[i])) return nullptr;
    }
    try {
      py::object self = allocate(type);
      for (std::size_t i = 0; i < kSize; ++i) {
        set(self, i, given[i] ? py::reinterpret_borrow<py::object>(given[i]) : default_value(i));
      }
      return self.release().ptr();
    } catch (py::error_already_set& e) {
      e.restore();
      return nullptr;
    }
  }

  static void tp_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    for (auto& slot : as_record(self)->slots) slot.~object();
    type->tp_free(self);
    Py_DECREF(type);
  }

  static int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (auto& slot : as_record(self)->slots) Py_VISIT(slot.ptr());
    return 0;
  }

  static int tp_clear(PyObject* self) {
    for (auto& slot : as_record(self)->slots) {
      py::object dropped = std::move(slot);  // the slot is empty before the value goes
    }
    return 0;
  }

  static PyObject* tp_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    for (std::size_t i = 0; i < kSize && equal; ++i) {
      // Both values held for the comparison: a field's __eq__ may assign a field of either
      // record and free the value it is compared through (list comparison holds them too).
      const auto left = py::reinterpret_borrow<py::object>(get(a, i));
      const auto right = py::reinterpret_borrow<py::object>(get(b, i));
      const int r = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
      if (r < 0) return nullptr;
      equal = r == 1;
    }
    return PyBool_FromLong((op == Py_EQ) == equal);
  }

  static PyObject* tp_repr(PyObject* self) {
    const int entered = Py_ReprEnter(self);
    if (entered != 0) {
      return entered > 0 ? PyUnicode_FromFormat("%s(...)", class_name()) : nullptr;
    }
    PyObject* result = nullptr;
    try {
      py::list parts;
      for (std::size_t i = 0; i < kSize; ++i) {
        parts.append(py::str("{}={!r}").format(Shape::kFields[i].name, get(self, i)));
      }
      py::str joined = py::str(", ").attr("join")(parts);
      result = py::str("{}({})").format(class_name(), joined).release().ptr();
    } catch (py::error_already_set& e) {
      e.restore();
    }
    Py_ReprLeave(self);
    return result;
  }

  static PyObject* get_field(PyObject* self, void* closure) {
    return get(self, reinterpret_cast<std::size_t>(closure)).inc_ref().ptr();
  }

  static int set_field(PyObject* self, PyObject* value, void* closure) {
    const auto index = reinterpret_cast<std::size_t>(closure);
    if (value == nullptr) {
      PyErr_Format(PyExc_TypeError, "cannot delete %s.%s", class_name(),
                   Shape::kFields[index].name);
      return -1;
    }
    if (!accepts(index, value)) return -1;
    set(self, index, py::reinterpret_borrow<py::object>(value));
    return 0;
  }

  // copy.copy, copy.deepcopy and pickle rebuild the record from its fields.
  static PyObject* reduce(PyObject* self, PyObject*) {
    PyObject* fields = PyTuple_New(static_cast<Py_ssize_t>(kSize));
    if (fields == nullptr) return nullptr;
    for (std::size_t i = 0; i < kSize; ++i) {
      PyTuple_SET_ITEM(fields, static_cast<Py_ssize_t>(i), get(self, i).inc_ref().ptr());
    }
    return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(Py_TYPE(self)), fields);
  }

  static std::vector<PyGetSetDef>& getsets() {
    static std::vector<PyGetSetDef> table;
    return table;
  }
  static std::vector<PyMethodDef>& methods() {
    static std::vector<PyMethodDef> table;
    return table;
  }

  static void build_tables() {
    auto& gs = getsets();
    gs.clear();
    for (std::size_t i = 0; i < kSize; ++i) {
      gs.push_back({Shape::kFields[i].name, &get_field, &set_field, Shape::kFields[i].doc,
                    reinterpret_cast<void*>(i)});
    }
    for (PyGetSetDef* extra = Shape::extra_getsets(); extra && extra->name; ++extra) {
      gs.push_back(*extra);
    }
    gs.push_back({});
    auto& ms = methods();
    ms.clear();
    ms.push_back({"__reduce__", &reduce, METH_NOARGS, "Rebuilds the record from its fields."});
    for (PyMethodDef* extra = Shape::extra_methods(); extra && extra->ml_name; ++extra) {
      ms.push_back(*extra);
    }
    ms.push_back({});
  }
};

}  // namespace corvane::pyutil
