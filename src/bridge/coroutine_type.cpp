// The Python-visible coroutine object: a thin shell over a DriverBase.
//
// It behaves like a native coroutine for asyncio: am_await returns itself, am_send is the fast
// path of PyIter_Send, send/throw/close are methods, and the type is registered as a
// collections.abc.Coroutine so that asyncio.iscoroutine, create_task, gather, wait_for and
// asyncio.run accept it. A coroutine dropped before it ran warns "was never awaited"; one
// dropped half-run is closed.
#include <Python.h>
#include <structmember.h>

#include <cstddef>

#include "bridge/runtime.hpp"
#include "py/saved_error.hpp"

namespace corvane::bridge {

void set_bridge_api(const BridgeApi* api_table);

namespace {

struct CoroObject {
  PyObject_HEAD
  DriverBase* driver;
  PyObject* qualname;
  PyObject* name;
  PyObject* weakreflist;
};

CoroObject* as_coro(PyObject* self) { return reinterpret_cast<CoroObject*>(self); }

// A return value of send/throw becomes StopIteration(value) for callers of the methods.
PyObject* return_as_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
  } else {
    // Wrap first so that a tuple or an exception instance is the value, not the arguments.
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (stop != nullptr) {
      PyErr_SetObject(PyExc_StopIteration, stop);
      Py_DECREF(stop);
    }
  }
  Py_DECREF(value);
  return nullptr;
}

PyObject* method_result(PySendResult r, PyObject* result) {
  switch (r) {
    case PYGEN_NEXT:
      return result;
    case PYGEN_RETURN:
      return return_as_stop_iteration(result);
    default:
      return nullptr;
  }
}

// Operations awaiting operations nest C calls (send -> frame -> send ...) with no Python frame
// in between: every entry is counted against the interpreter's recursion limit, and against
// its own bound, so that a deep chain raises RecursionError as native coroutines do instead of
// overflowing the C stack.
thread_local int t_depth = 0;

class Entry {
 public:
  Entry() noexcept {
    if (t_depth >= Py_GetRecursionLimit()) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while running a coroutine");
      return;
    }
    if (Py_EnterRecursiveCall(" while running a coroutine") != 0) return;
    entered_ = true;
    ++t_depth;
  }
  ~Entry() {
    if (!entered_) return;
    --t_depth;
    Py_LeaveRecursiveCall();
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_ = false;
};

PySendResult send_guarded(PyObject* self, PyObject* arg, PyObject** result) {
  Entry entry;
  if (!entry) {
    *result = nullptr;
    return PYGEN_ERROR;
  }
  return as_coro(self)->driver->send(arg, result);
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return send_guarded(self, arg, result);
}

// (The send must be sequenced before `result` is read: no nesting in one call expression.)
PyObject* coro_iternext(PyObject* self) {
  PyObject* result = nullptr;
  const PySendResult r = send_guarded(self, Py_None, &result);
  return method_result(r, result);
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

PyObject* coro_send(PyObject* self, PyObject* value) {
  PyObject* result = nullptr;
  const PySendResult r = send_guarded(self, value, &result);
  return method_result(r, result);
}

// throw(exc) or the older throw(type[, value[, traceback]]).
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", nargs);
    return nullptr;
  }
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : Py_None;
  PyObject* trace = nargs > 2 ? args[2] : Py_None;
  if (trace != Py_None && !PyTraceBack_Check(trace)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  PyObject* exc = nullptr;
  if (PyExceptionInstance_Check(type)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Py_NewRef(type);
  } else if (PyExceptionClass_Check(type)) {
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                     "signature instead.",
                     1) < 0) {
      return nullptr;
    }
#endif
    PyObject *t = Py_NewRef(type), *v = Py_NewRef(value), *tb = nullptr;
    PyErr_NormalizeException(&t, &v, &tb);
    Py_XDECREF(tb);
    if (v == nullptr || !PyExceptionInstance_Check(v)) {
      Py_XDECREF(t);
      Py_XDECREF(v);
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "calling the exception class did not give an exception");
      }
      return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 a native coroutine raises exactly the class given: a value the class made into
    // a subclass (OSError(2, ...) is a FileNotFoundError) is wrapped once more, type(value).
    if (reinterpret_cast<PyObject*>(Py_TYPE(v)) != t) {
      PyObject* wrapped = PyObject_CallOneArg(t, v);
      Py_DECREF(v);
      if (wrapped == nullptr) {
        Py_DECREF(t);
        return nullptr;
      }
      v = wrapped;
    }
#endif
    Py_DECREF(t);
    exc = v;
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
  }
  if (trace != Py_None && PyException_SetTraceback(exc, trace) < 0) {
    Py_DECREF(exc);
    return nullptr;
  }
  PyObject* result = nullptr;
  PySendResult r = PYGEN_ERROR;
  if (Entry entry; entry) r = as_coro(self)->driver->throw_in(exc, &result);
  Py_DECREF(exc);
  return method_result(r, result);
}

PyObject* coro_close(PyObject* self, PyObject*) {
  Entry entry;
  if (!entry || as_coro(self)->driver->close() < 0) return nullptr;
  Py_RETURN_NONE;
}

void coro_finalize(PyObject* self) {
  DriverBase* driver = as_coro(self)->driver;
  if (driver == nullptr || driver->finished()) return;
  pyutil::SavedError saved;
  if (!driver->started()) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                         as_coro(self)->qualname) < 0) {
      PyErr_WriteUnraisable(self);
    }
    driver->clear();
  } else if (driver->close() < 0) {
    PyErr_WriteUnraisable(self);
  }
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (as_coro(self)->driver != nullptr) return as_coro(self)->driver->traverse(visit, arg);
  return 0;
}

int coro_clear(PyObject* self) {
  if (as_coro(self)->driver != nullptr) as_coro(self)->driver->clear();
  return 0;
}

// Dropping an operation drops what its frames await, which may be another operation: a long
// chain would recurse once per link. The trashcan defers deallocations past a depth, as CPython
// does for its own containers.
void coro_dealloc(PyObject* self) {
  CoroObject* coro = as_coro(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, coro_dealloc)
  if (coro->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) goto done;  // resurrected
  PyObject_GC_UnTrack(self);
  delete std::exchange(coro->driver, nullptr);
  Py_CLEAR(coro->qualname);
  Py_CLEAR(coro->name);
  {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  }
done:
  Py_TRASHCAN_END
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }

int set_text(PyObject* value, PyObject** slot, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_SETREF(*slot, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
  return set_text(value, &as_coro(self)->name, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_text(value, &as_coro(self)->qualname, "__qualname__");
}

PyObject* get_cr_await(PyObject* self, void*) {
  PyObject* it = as_coro(self)->driver->awaiting();
  return Py_NewRef(it != nullptr ? it : Py_None);
}
PyObject* get_cr_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coro(self)->driver->running());
}
PyObject* get_cr_suspended(PyObject* self, void*) {
  const DriverBase* d = as_coro(self)->driver;
  return PyBool_FromLong(d->started() && !d->finished() && !d->running());
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> the next value yielded, or StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, "throw(exc) -> raise exc at the point where the coroutine waits."},
    {"close", coro_close, METH_NOARGS, "close() -> end the coroutine, releasing what it holds."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_await", get_cr_await, nullptr, "The awaitable this coroutine waits on, or None.", nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_cr_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, "Always None: the frames are C++ frames.", nullptr},
    {"cr_code", get_none, nullptr, "Always None: the code is C++ code.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_doc, const_cast<char*>("A corvane operation in progress: await it, or hand it to "
                                  "asyncio.create_task.")},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "corvane.coroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

BridgeApi g_table{1, nullptr, nullptr};

PyObject* create(DriverBase* driver, PyObject* qualname) {
  PyTypeObject* type = g_table.coroutine_type;
  auto* coro = reinterpret_cast<CoroObject*>(type->tp_alloc(type, 0));
  if (coro == nullptr) {
    delete driver;
    return nullptr;
  }
  coro->driver = driver;
  coro->qualname = Py_NewRef(qualname);
  // __name__ is the last dotted component of the qualified name.
  Py_ssize_t length = PyUnicode_GetLength(qualname);
  Py_ssize_t dot = PyUnicode_FindChar(qualname, '.', 0, length, -1);
  coro->name = dot >= 0 ? PyUnicode_Substring(qualname, dot + 1, length) : Py_NewRef(qualname);
  coro->weakreflist = nullptr;
  if (coro->name == nullptr) {
    Py_DECREF(coro);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(coro);
}

}  // namespace

void install_bridge(py::module_ module) {
  auto type = py::reinterpret_steal<py::object>(PyType_FromSpec(&coro_spec));
  if (!type) throw py::error_already_set();
  py::module_::import("collections.abc").attr("Coroutine").attr("register")(type);
  g_table.coroutine_type = reinterpret_cast<PyTypeObject*>(type.ptr());
  g_table.create = create;
  module.attr("_coroutine_type") = type;  // keeps the type alive with the module
  module.attr("_BRIDGE_API") = py::capsule(&g_table, "corvane.http._BRIDGE_API");
  set_bridge_api(&g_table);
}

}  // namespace corvane::bridge
