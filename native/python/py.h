// The binding's shared declarations. This directory is the only code that sees Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>

#include <optional>
#include <string>
#include <utility>

#include "manifest/error.h"
#include "manifest/limits.h"

namespace zm::py {

// ---- interpreter objects created once at module execution ---------------------------
bool init_shared_objects();
PyObject* internal_error_type();  // derives from BaseException; not a module attribute

// ---- results and errors -------------------------------------------------------------
// Hands compact JSON text to json.loads (module and attribute looked up on every call).
PyObject* json_to_py(const std::string& json_text);
// Raises the exception for a core error; always returns nullptr. An I/O error with an
// error number raises the OSError subclass the interpreter picks for it (FileNotFoundError,
// PermissionError, ...) with errno, strerror and `filename` (None when null) set, while its
// args and str() are the error's one-line text.
PyObject* raise_manifest_error(const ManifestError& error, const std::string* filename = nullptr);
// Raises `type` with a UTF-8 message (invalid bytes replaced); returns nullptr.
PyObject* raise_text(PyObject* type, const std::string& text);
std::string path_to_string(const std::string& path);

// Runs f with the interpreter lock released; the lock is re-taken on every exit path,
// exceptions included. f must not touch any Python object.
template <class F>
auto without_gil(F&& f) {
  struct Relock {
    PyThreadState* state = PyEval_SaveThread();
    ~Relock() { PyEval_RestoreThread(state); }
  } relock;
  return std::forward<F>(f)();
}

// ---- argument binding ----------------------------------------------------------------
struct Signature {
  const char* name;           // e.g. "sha256_file"
  const char* const* params;  // positional-or-keyword first, then keyword-only
  int n_params;
  int n_positional;  // all positional parameters are required
};

// Matches fastcall arguments to parameter slots (borrowed references, nullptr = absent).
// Returns false with TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Converters: return false with the exception set. `param` non-null adds the note
// "while processing '<param>'" to the conversion's exception.
bool convert_path(PyObject* obj, const char* param, std::string* out);
bool convert_optional_path(PyObject* obj, const char* param, std::optional<std::string>* out);
bool convert_str(PyObject* obj, const char* param, std::string* out);
bool convert_bool(PyObject* obj, const char* param, bool* out);
bool convert_limit(PyObject* obj, const char* param, uint64_t* out);
// Converts the ten limit slots (in keyword order) into `limits`.
bool convert_limits(PyObject* const* slots, ResourceLimits* limits);

}  // namespace zm::py
