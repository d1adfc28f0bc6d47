// Results reach Python as compact JSON through json.loads; core errors become built-in
// exceptions carrying one text argument.
#include <cstring>

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

PyObject* raise_manifest_error(const ManifestError& error) {
  PyObject* type = error.kind() == ManifestError::Kind::Io ? PyExc_OSError : PyExc_ValueError;
  return raise_text(type, error.display());
}

PyObject* json_to_py(const std::string& json_text) {
  PyObject* module = PyImport_Import(g_json_name);
  if (module == nullptr) return nullptr;
  PyObject* loads = PyObject_GetAttr(module, g_loads_name);
  Py_DECREF(module);
  if (loads == nullptr) return nullptr;
  PyObject* text = PyUnicode_DecodeUTF8(json_text.data(), static_cast<Py_ssize_t>(json_text.size()), "strict");
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
