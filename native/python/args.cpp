// Argument binding and conversion, with the interpreter lock held. Every failure raises
// before any file is touched.
#include <cstring>
#include <limits>

#include "python/py.h"

namespace zm::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
PyObject* quoted_name_list(const char* const* names, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// Adds "while processing '<param>'" to the pending exception; a failure to add the note
// is discarded and the original exception stays pending.
void add_note(const char* param) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
    PyObject* r = note ? PyObject_CallMethod(value, "add_note", "O", note) : nullptr;
    Py_XDECREF(note);
    if (r == nullptr) {
      PyErr_Clear();
    } else {
      Py_DECREF(r);
    }
  }
  PyErr_Restore(type, value, tb);
}

bool fail_noted(const char* param) {
  if (param != nullptr) add_note(param);
  return false;
}

PyObject* type_name(PyObject* obj) {
  return PyType_GetName(Py_TYPE(obj));
}

// "'T' object is not an instance of 'E'" / "'None' is not an instance of 'E'".
void raise_not_instance(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyObject* name = type_name(obj);
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
  Py_DECREF(name);
}

// NumPy's boolean scalar type: module "numpy", name "bool_" or "bool".
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyObject* module = PyObject_GetAttrString(type, "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  if (!numpy) return false;
  PyObject* name = type_name(obj);
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool match =
      PyUnicode_CompareWithASCIIString(name, "bool_") == 0 || PyUnicode_CompareWithASCIIString(name, "bool") == 0;
  Py_DECREF(name);
  return match;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  for (int i = 0; i < sig.n_params; ++i) slots[i] = nullptr;
  if (nargs > sig.n_positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", sig.name, sig.n_positional,
                 nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (key == nullptr) return false;
    int found = -1;
    for (int i = 0; i < sig.n_params; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (slots[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[found]);
      return false;
    }
    slots[found] = args[nargs + k];
  }
  const char* missing[8];
  int n_missing = 0;
  for (int i = 0; i < sig.n_positional; ++i) {
    if (slots[i] == nullptr) missing[n_missing++] = sig.params[i];
  }
  if (n_missing > 0) {
    PyObject* names = quoted_name_list(missing, n_missing);
    if (names == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional %s: %U", sig.name, n_missing,
                 n_missing == 1 ? "argument" : "arguments", names);
    Py_DECREF(names);
    return false;
  }
  return true;
}

bool convert_path(PyObject* obj, const char* param, std::string* out, bool keep_nul) {
  PyObject* fs = PyOS_FSPath(obj);
  if (fs == nullptr) return fail_noted(param);
  PyObject* bytes;
  if (PyUnicode_Check(fs)) {
    bytes = PyUnicode_EncodeFSDefault(fs);
    Py_DECREF(fs);
    if (bytes == nullptr) return fail_noted(param);
  } else {
    bytes = fs;  // PyOS_FSPath returns str or bytes only
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) {
    Py_DECREF(bytes);
    return fail_noted(param);
  }
  // A NUL would silently cut the path at the system call: refuse it as os functions do.
  if (!keep_nul && std::memchr(data, '\0', static_cast<size_t>(size)) != nullptr) {
    Py_DECREF(bytes);
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return fail_noted(param);
  }
  out->assign(data, static_cast<size_t>(size));
  Py_DECREF(bytes);
  return true;
}

bool convert_optional_path(PyObject* obj, const char* param, std::optional<std::string>* out, bool keep_nul) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  std::string path;
  if (!convert_path(obj, param, &path, keep_nul)) return false;
  *out = std::move(path);
  return true;
}

bool convert_str(PyObject* obj, const char* param, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return fail_noted(param);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return fail_noted(param);
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool convert_bool(PyObject* obj, const char* param, bool* out) {
  if (PyBool_Check(obj)) {
    *out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (!PyObject_HasAttrString(type, "__bool__")) {
      PyObject* name = type_name(obj);
      if (name != nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name);
        Py_DECREF(name);
      }
      return fail_noted(param);
    }
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return fail_noted(param);
    *out = truth != 0;
    return true;
  }
  raise_not_instance(obj, "bool");
  return fail_noted(param);
}

bool convert_limit(PyObject* obj, const char* param, uint64_t* out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return fail_noted(param);
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_noted(param);
  *out = value;
  return true;
}

bool convert_limits(PyObject* const* slots, ResourceLimits* limits) {
  int i = 0;
  for (const auto& field : kLimitFields) {
    PyObject* obj = slots[i++];
    if (obj == nullptr || obj == Py_None) continue;  // the default stays
    if (!convert_limit(obj, field.keyword, &(limits->*field.member))) return false;
  }
  return true;
}

}  // namespace zm::py
