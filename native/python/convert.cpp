// Results reach Python as compact JSON through json.loads; core errors become exceptions
// carrying one text argument (I/O errors: the OSError subclass for their error number).
#include <cstring>
#include <iterator>

#include "python/py.h"
#include "text/utf8.h"

namespace zm::py {

namespace {
PyObject* g_json_name = nullptr;
PyObject* g_loads_name = nullptr;
PyObject* g_internal_error = nullptr;
}  // namespace

bool init_shared_objects() {
  // Runs with the interpreter lock held, so the first initialisation cannot race.
  if (g_json_name == nullptr) {
    g_json_name = PyUnicode_InternFromString("json");
    if (g_json_name == nullptr) return false;
  }
  if (g_loads_name == nullptr) {
    g_loads_name = PyUnicode_InternFromString("loads");
    if (g_loads_name == nullptr) return false;
  }
  if (g_internal_error == nullptr) {
    g_internal_error =
        PyErr_NewException("zarnik_manifest._zarnik_manifest.InternalError", PyExc_BaseException, nullptr);
    if (g_internal_error == nullptr) return false;
  }
  return true;
}

PyObject* internal_error_type() {
  return g_internal_error;
}

PyObject* raise_text(PyObject* type, const std::string& text) {
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return nullptr;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
  return nullptr;
}

namespace {

// OSError subclasses whose str() is their single argument, one per built-in subclass that
// the interpreter picks for an error number. A built-in OSError with errno, strerror and
// filename set prints "[Errno N] ...: 'file'" whatever its args hold; these keep the
// message text while `except FileNotFoundError` and the attributes work as usual.
// Created on first use with the lock held; kept for the life of the process.
struct DerivedOsError {
  PyObject* base;
  PyObject* type;
};
DerivedOsError g_os_error_types[32];
int g_os_error_type_count = 0;

// copyreg reducer: an instance pickles (and copies) as its built-in base with the same
// errno, strerror, filename and args, so another process needs nothing of this module.
PyObject* reduce_os_error(PyObject*, PyObject* exc) {
  PyObject* type = PyObject_Type(exc);
  if (type == nullptr) return nullptr;
  PyObject* base = PyObject_GetAttrString(type, "__base__");
  Py_DECREF(type);
  PyObject* errnum = PyObject_GetAttrString(exc, "errno");
  PyObject* strerror = PyObject_GetAttrString(exc, "strerror");
  PyObject* filename = PyObject_GetAttrString(exc, "filename");
  PyObject* args = PyObject_GetAttrString(exc, "args");
  PyObject* result = nullptr;
  if (base && errnum && strerror && filename && args) {
    result = Py_BuildValue("(O(OOO){s:O})", base, errnum, strerror, filename, "args", args);
  }
  Py_XDECREF(base);
  Py_XDECREF(errnum);
  Py_XDECREF(strerror);
  Py_XDECREF(filename);
  Py_XDECREF(args);
  return result;
}

PyMethodDef g_reduce_def = {"_reduce_os_error", reduce_os_error, METH_O, nullptr};

// The subclass of `base` (a built-in OSError type) that prints its argument; new ref.
PyObject* derived_os_error_type(PyObject* base) {
  for (int i = 0; i < g_os_error_type_count; ++i) {
    if (g_os_error_types[i].base == base) return Py_NewRef(g_os_error_types[i].type);
  }
  if (g_os_error_type_count == static_cast<int>(std::size(g_os_error_types))) return Py_NewRef(base);
  PyObject* name = PyObject_GetAttrString(base, "__name__");
  PyObject* str = PyObject_GetAttrString(PyExc_BaseException, "__str__");
  PyObject* ns = nullptr;
  if (name && str) {
    ns = Py_BuildValue("{s:s,s:O,s:O}", "__module__", "zarnik_manifest._zarnik_manifest", "__str__", str, "__doc__",
                       Py_None);
  }
  Py_XDECREF(str);
  PyObject* type = nullptr;
  if (ns) type = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O(O)O", name, base, ns);
  Py_XDECREF(name);
  Py_XDECREF(ns);
  if (type == nullptr) return nullptr;
  PyObject* reducer = PyCFunction_New(&g_reduce_def, nullptr);
  PyObject* copyreg = reducer ? PyImport_ImportModule("copyreg") : nullptr;
  PyObject* done = copyreg ? PyObject_CallMethod(copyreg, "pickle", "OO", type, reducer) : nullptr;
  Py_XDECREF(reducer);
  Py_XDECREF(copyreg);
  if (done == nullptr) {
    Py_DECREF(type);
    return nullptr;
  }
  Py_DECREF(done);
  g_os_error_types[g_os_error_type_count++] = {Py_NewRef(base), Py_NewRef(type)};
  return type;
}

// The system's description of an error number, as os.strerror gives it.
std::string error_description(int errnum) {
  char buf[256];
  return strerror_r(errnum, buf, sizeof buf);  // GNU form: returns the text to use
}

// Raises the OSError subclass the interpreter chooses for the error number, with errno,
// strerror and filename (None when unknown) set and the one argument `text`.
PyObject* raise_os_error(int errnum, const std::string& text, const std::string* filename) {
  std::string description = error_description(errnum);
  PyObject* strerror =
      PyUnicode_DecodeUTF8(description.data(), static_cast<Py_ssize_t>(description.size()), "replace");
  if (strerror == nullptr) return nullptr;
  // OSError(errno, strerror) returns the subclass mapped to errno (FileNotFoundError, ...).
  PyObject* probe = PyObject_CallFunction(PyExc_OSError, "iO", errnum, strerror);
  PyObject* base = probe ? PyObject_Type(probe) : nullptr;
  Py_XDECREF(probe);
  PyObject* type = base ? derived_os_error_type(base) : nullptr;
  Py_XDECREF(base);
  PyObject* name = nullptr;
  if (type) {
    name = filename ? PyUnicode_DecodeFSDefaultAndSize(filename->data(), static_cast<Py_ssize_t>(filename->size()))
                    : Py_NewRef(Py_None);
  }
  PyObject* exc = name ? PyObject_CallFunction(type, "iOO", errnum, strerror, name) : nullptr;
  Py_XDECREF(name);
  Py_DECREF(strerror);
  PyObject* msg =
      exc ? PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace") : nullptr;
  PyObject* args = msg ? PyTuple_Pack(1, msg) : nullptr;
  Py_XDECREF(msg);
  if (args && PyObject_SetAttrString(exc, "args", args) == 0) PyErr_SetObject(type, exc);
  Py_XDECREF(args);
  Py_XDECREF(exc);
  Py_XDECREF(type);
  return nullptr;
}

}  // namespace

PyObject* raise_manifest_error(const ManifestError& error, const std::string* filename) {
  if (error.kind() != ManifestError::Kind::Io) return raise_text(PyExc_ValueError, error.display());
  if (error.os_error() == 0) return raise_text(PyExc_OSError, error.display());
  return raise_os_error(error.os_error(), error.display(), filename);
}

PyObject* json_to_py(std::string json_text) {
  PyObject* module = PyImport_Import(g_json_name);
  if (module == nullptr) return nullptr;
  PyObject* loads = PyObject_GetAttr(module, g_loads_name);
  Py_DECREF(module);
  if (loads == nullptr) return nullptr;
  PyObject* text = PyUnicode_DecodeUTF8(json_text.data(), static_cast<Py_ssize_t>(json_text.size()), "strict");
  std::string().swap(json_text);
  if (text == nullptr) {
    Py_DECREF(loads);
    return nullptr;
  }
  PyObject* result = PyObject_CallFunctionObjArgs(loads, text, nullptr);
  Py_DECREF(text);
  Py_DECREF(loads);
  return result;
}

std::string path_to_string(const std::string& path) {
  std::string text = text::lossy_utf8(path);
  if (text.starts_with("\\\\?\\UNC\\")) return "\\\\" + text.substr(8);
  if (text.starts_with("\\\\?\\")) return text.substr(4);
  return text;
}

}  // namespace zm::py
