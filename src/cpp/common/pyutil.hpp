// Helpers shared by the extension modules: module-global look-ups at call
// time, exact argument checks, Python-style text building and printing.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <string>

namespace py = pybind11;

namespace nivra {

// A module's global namespace, read at call time the way Python code reads
// its globals: the module dict first, then the builtins.
class Namespace {
 public:
  void bind(const py::module_& module);
  py::object operator[](const char* name) const;

 private:
  PyObject* dict_ = nullptr;  // owned for the life of the process
};

// Registers a module-level function whose __doc__ is exactly `doc` (nullptr
// for none) and whose __text_signature__ is `signature`, e.g. "(path)".
template <typename Func, typename... Extra>
void def_function(py::module_& m, const char* name, const char* signature, const char* doc,
                  Func&& f, const Extra&... extra);

// ---- argument checks: TypeError "f() argument 'p' must be T, not U" -------

struct Param {
  const char* function;
  const char* name;
};

[[noreturn]] void raise_arg_type(Param p, const char* expected, py::handle value);

py::str require_str(Param p, py::handle value);
py::dict require_dict(Param p, py::handle value);
py::list require_list(Param p, py::handle value);
py::tuple require_tuple(Param p, py::handle value);
bool is_none(py::handle value);
// Python truth value, bool(value).
bool truthy(py::handle value);
// Python comparison `a <op> b`, op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE.
bool compare(py::handle a, int op, py::handle b);
// Python's `key in container`.
bool contains(py::handle container, py::handle key);
// isinstance(value, type)
bool is_instance(py::handle value, py::handle type);
// slice(start, stop) with Python objects (None for an open end).
py::object slice(py::handle start, py::handle stop);
py::object require_dict_or_none(Param p, py::handle value);
py::object require_str_or_none(Param p, py::handle value);
// Any number that int() converts, converted.
py::int_ require_int(Param p, py::handle value);
// Any real number that float() converts, converted, so every real type
// formats like the float it equals.
py::float_ require_real(Param p, py::handle value);
py::object require_real_or_none(Param p, py::handle value);
// For a failed conversion of an argument: a pending TypeError, ValueError or
// OverflowError (NaN, infinity, too large) becomes the argument's TypeError,
// caused by it; any other exception passes through unchanged.
[[noreturn]] void raise_failed_conversion(Param p, const char* expected, py::handle value);

// ---- errors ----------------------------------------------------------------

// Raises `type(message)` with a Python str message (no round trip through
// std::string, so surrogate-escaped paths survive).
[[noreturn]] void raise(PyObject* type, py::handle message);

// Python's `a, b, ... = value` for exactly `n` items, with its messages.
py::tuple unpack(py::handle value, Py_ssize_t n);

// ---- text ------------------------------------------------------------------

// str(value)
py::str str_of(py::handle value);

// Pieces of a line: UTF-8 literals, or Python objects converted with str().
class Piece {
 public:
  Piece(const char* utf8);         // NOLINT(google-explicit-constructor)
  Piece(const std::string& utf8);  // NOLINT
  Piece(py::handle object);        // NOLINT
  // Any pybind11 object or attribute/item accessor.
  template <typename T, typename = std::enable_if_t<std::is_base_of_v<py::detail::pyobject_tag, T>>>
  Piece(const T& object) : text_(str_of(py::object(object))) {}  // NOLINT
  const py::str& text() const { return text_; }

 private:
  py::str text_;
};

// Concatenates the pieces into one Python str.
py::str cat(std::initializer_list<Piece> pieces);
template <typename... P>
py::str concat(const P&... pieces) {
  return cat({Piece(pieces)...});
}

// format(value, spec), Python's own formatting.
py::str format(py::handle value, const char* spec);
// `text * count` for a UTF-8 literal; nothing for a count of zero or less.
py::str repeat(const char* utf8, Py_ssize_t count);
py::str repeat(const char* utf8, py::handle count);

// print(text) through the namespace's print, so rebinding sys.stdout or print
// is honoured. `end` and `flush` as Python's keywords.
void print_line(const Namespace& ns, py::handle text);
void print_line(const Namespace& ns, py::handle text, const char* end, bool flush);

// Runs `body(resource)` inside `with manager as resource:`, with Python's
// exit semantics (the exception is passed to __exit__, which may swallow it).
void with_context(py::handle manager, const std::function<void(py::object)>& body);

// ---- implementation of the template ---------------------------------------

std::string doc_with_signature(const char* name, const char* signature, const char* doc);

template <typename Func, typename... Extra>
void def_function(py::module_& m, const char* name, const char* signature, const char* doc,
                  Func&& f, const Extra&... extra) {
  // CPython hides a leading "name(sig)\n--\n\n" block from __doc__ and
  // exposes it as __text_signature__; pybind11 keeps the string alive.
  std::string full = doc_with_signature(name, signature, doc);
  m.def(name, std::forward<Func>(f), full.c_str(), extra...);
}

}  // namespace nivra
