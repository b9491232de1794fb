#include "common/pyutil.hpp"

namespace nivra {

// ---- Namespace --------------------------------------------------------------

void Namespace::bind(const py::module_& module) {
  dict_ = PyModule_GetDict(module.ptr());  // borrowed
  if (dict_ == nullptr) throw py::error_already_set();
  Py_INCREF(dict_);
}

py::object Namespace::operator[](const char* name) const {
  py::str key(name);
  PyObject* found = PyDict_GetItemWithError(dict_, key.ptr());
  if (found == nullptr && !PyErr_Occurred()) {
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) found = PyDict_GetItemWithError(builtins, key.ptr());
  }
  if (found == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    raise(PyExc_NameError, py::str("name '{}' is not defined").format(key));
  }
  return py::reinterpret_borrow<py::object>(found);
}

std::string doc_with_signature(const char* name, const char* signature, const char* doc) {
  std::string full = std::string(name) + signature + "\n--\n\n";
  if (doc != nullptr) full += doc;
  return full;
}

bool compare(py::handle a, int op, py::handle b) {
  int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

bool contains(py::handle container, py::handle key) {
  int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

bool is_instance(py::handle value, py::handle type) {
  int result = PyObject_IsInstance(value.ptr(), type.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

py::object slice(py::handle start, py::handle stop) {
  PyObject* s = PySlice_New(start.ptr(), stop.ptr(), nullptr);
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

// ---- argument checks ----------------------------------------------------------

void raise_arg_type(Param p, const char* expected, py::handle value) {
  raise(PyExc_TypeError, py::str("{}() argument '{}' must be {}, not {}")
                             .format(p.function, p.name, expected,
                                     py::type::handle_of(value).attr("__name__")));
}

template <typename T>
static T exact(Param p, py::handle value, PyTypeObject* type, const char* expected) {
  if (Py_TYPE(value.ptr()) != type) raise_arg_type(p, expected, value);
  return py::reinterpret_borrow<T>(value);
}

py::str require_str(Param p, py::handle value) {
  return exact<py::str>(p, value, &PyUnicode_Type, "str");
}
py::dict require_dict(Param p, py::handle value) {
  return exact<py::dict>(p, value, &PyDict_Type, "dict");
}
py::list require_list(Param p, py::handle value) {
  return exact<py::list>(p, value, &PyList_Type, "list");
}
py::tuple require_tuple(Param p, py::handle value) {
  return exact<py::tuple>(p, value, &PyTuple_Type, "tuple");
}

bool is_none(py::handle value) { return value.ptr() == Py_None; }

bool truthy(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

py::object require_dict_or_none(Param p, py::handle value) {
  if (!is_none(value) && !PyDict_CheckExact(value.ptr())) raise_arg_type(p, "dict or None", value);
  return py::reinterpret_borrow<py::object>(value);
}

py::object require_str_or_none(Param p, py::handle value) {
  if (!is_none(value) && !PyUnicode_CheckExact(value.ptr())) raise_arg_type(p, "str or None", value);
  return py::reinterpret_borrow<py::object>(value);
}

static bool is_instance_of(py::handle value, const char* module, const char* cls) {
  return is_instance(value, py::module_::import(module).attr(cls));
}

static bool is_real(py::handle value) {
  if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())) return true;
  return is_instance_of(value, "numbers", "Real");
}

void raise_failed_conversion(Param p, const char* expected, py::handle value) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    throw py::error_already_set();
  }
  py::error_already_set cause;  // takes the pending error
  try {
    raise_arg_type(p, expected, value);
  } catch (py::error_already_set& error) {
    PyException_SetCause(error.value().ptr(), cause.value().inc_ref().ptr());  // steals
    throw;
  }
}

py::int_ require_int(Param p, py::handle value) {
  const char* expected = "a number convertible to int";
  if (!(is_real(value) || is_instance_of(value, "numbers", "Number"))) raise_arg_type(p, expected, value);
  PyObject* converted = PyNumber_Long(value.ptr());
  if (converted == nullptr) raise_failed_conversion(p, expected, value);
  return py::reinterpret_steal<py::int_>(converted);
}

static py::float_ real_as_float(Param p, const char* expected, py::handle value) {
  if (!is_real(value)) raise_arg_type(p, expected, value);
  PyObject* converted = PyNumber_Float(value.ptr());
  if (converted == nullptr) raise_failed_conversion(p, expected, value);
  return py::reinterpret_steal<py::float_>(converted);
}

py::float_ require_real(Param p, py::handle value) { return real_as_float(p, "a real number", value); }

py::object require_real_or_none(Param p, py::handle value) {
  if (is_none(value)) return py::none();
  return real_as_float(p, "a real number or None", value);
}

// ---- errors ---------------------------------------------------------------------

void raise(PyObject* type, py::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

py::tuple unpack(py::handle value, Py_ssize_t n) {
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    raise(PyExc_TypeError, py::str("cannot unpack non-iterable {} object")
                               .format(py::type::handle_of(value).attr("__name__")));
  }
  py::object it = py::reinterpret_steal<py::object>(iterator);
  py::tuple items(n);
  for (Py_ssize_t i = 0; i <= n; ++i) {
    PyObject* item = PyIter_Next(it.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      if (i == n) return items;
      raise(PyExc_ValueError,
            py::str("not enough values to unpack (expected {}, got {})").format(n, i));
    }
    if (i == n) {
      Py_DECREF(item);
      raise(PyExc_ValueError, py::str("too many values to unpack (expected {})").format(n));
    }
    PyTuple_SET_ITEM(items.ptr(), i, item);  // steals
  }
  return items;
}

// ---- text -------------------------------------------------------------------------

Piece::Piece(const char* utf8) : text_(utf8) {}
Piece::Piece(const std::string& utf8) : text_(utf8) {}
Piece::Piece(py::handle object) : text_(str_of(object)) {}

py::str cat(std::initializer_list<Piece> pieces) {
  py::list parts(pieces.size());
  Py_ssize_t i = 0;
  for (const Piece& piece : pieces) parts[i++] = piece.text();
  PyObject* joined = PyUnicode_Join(py::str("").ptr(), parts.ptr());
  if (joined == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

py::str format(py::handle value, const char* spec) {
  PyObject* result = PyObject_Format(value.ptr(), py::str(spec).ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(result);
}

py::str str_of(py::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
  PyObject* result = PyObject_Str(value.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(result);
}

py::str repeat(const char* utf8, Py_ssize_t count) {
  PyObject* result = PySequence_Repeat(py::str(utf8).ptr(), count < 0 ? 0 : count);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(result);
}

py::str repeat(const char* utf8, py::handle count) {
  PyObject* result = PyNumber_Multiply(py::str(utf8).ptr(), count.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(result);
}

void print_line(const Namespace& ns, py::handle text) { ns["print"](text); }

void print_line(const Namespace& ns, py::handle text, const char* end, bool flush) {
  ns["print"](text, py::arg("end") = end, py::arg("flush") = flush);
}

// ---- context managers ----------------------------------------------------------

void with_context(py::handle manager, const std::function<void(py::object)>& body) {
  auto type = py::reinterpret_borrow<py::object>(py::type::handle_of(manager));
  py::object exit = type.attr("__exit__");
  py::object resource = type.attr("__enter__")(manager);
  try {
    body(resource);
  } catch (py::error_already_set& error) {
    // An error raised from C++ has no traceback yet; __exit__ then gets None.
    py::object trace = error.trace() ? error.trace() : py::none();
    py::object swallow = exit(manager, error.type(), error.value(), trace);
    int swallowed = PyObject_IsTrue(swallow.ptr());
    if (swallowed < 0) throw py::error_already_set();
    if (swallowed == 1) return;
    throw;
  } catch (...) {
    exit(manager, py::none(), py::none(), py::none());
    throw;
  }
  exit(manager, py::none(), py::none(), py::none());
}

}  // namespace nivra
