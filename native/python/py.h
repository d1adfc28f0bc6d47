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

#include "base/interrupt.h"
#include "manifest/error.h"
#include "manifest/limits.h"

namespace zm::py {

// ---- interpreter objects created once at module execution ---------------------------
bool init_shared_objects();
PyObject* internal_error_type();  // derives from BaseException; not a module attribute

// ---- results and errors -------------------------------------------------------------
// Hands compact JSON text to json.loads (module and attribute looked up on every call).
// The text is freed once decoded, so json.loads runs with its memory back in the heap.
PyObject* json_to_py(std::string json_text);
// Raises the exception for a core error; always returns nullptr. An I/O error with an
// error number raises the OSError subclass the interpreter picks for it (FileNotFoundError,
// PermissionError, ...) with errno, strerror and `filename` (None when null) set, while its
// args and str() are the error's one-line text.
PyObject* raise_manifest_error(const ManifestError& error, const std::string* filename = nullptr);
// Raises `type` with a UTF-8 message (invalid bytes replaced); returns nullptr.
PyObject* raise_text(PyObject* type, const std::string& text);
std::string path_to_string(const std::string& path);

// Lets the core's long file work run the interpreter's signal handlers (base/interrupt.h).
// A check re-takes the lock with the thread state saved when it was released, calls
// PyErr_CheckSignals, and releases the lock again; a handler that raises stops the work
// and leaves its exception set. Python runs handlers only on the main thread, so on any
// other thread a check asks nothing and never touches the lock.
class SignalCheck final : public Interrupt {
 public:
  SignalCheck();  // lock held
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  void release_lock() { state_ = PyEval_SaveThread(); }
  void retake_lock() { PyEval_RestoreThread(state_); }
  bool check() override;
  // True when a handler raised: its exception is the pending one.
  bool raised() const { return raised_; }

 private:
  PyThreadState* state_ = nullptr;
  bool main_thread_;
  bool raised_ = false;
};

// Thrown (lock held) when a Python exception is already set and the function must
// return nullptr; the functions' outer guard turns it into that return.
struct ErrorAlreadySet {};

// Runs f with the interpreter lock released; the lock is re-taken on every exit path,
// exceptions included. f must not touch any Python object. Signal handlers run while f
// waits or works (see SignalCheck); when one raised, ErrorAlreadySet is thrown once the
// lock is held again, whatever f returned, so that exception propagates.
template <class F>
auto without_gil(F&& f) {
  SignalCheck signals;
  auto result = [&] {
    struct Relock {
      SignalCheck& signals;
      explicit Relock(SignalCheck& s) : signals(s) { signals.release_lock(); }
      ~Relock() { signals.retake_lock(); }
    } relock(signals);
    InterruptScope scope(signals);
    return std::forward<F>(f)();
  }();
  if (signals.raised()) throw ErrorAlreadySet{};
  return result;
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
// A path holding a NUL byte raises ValueError "embedded null byte", as os functions do,
// unless `keep_nul` is set: then it is passed on whole, for a core that judges such a path
// itself (it names no file) rather than cutting it at the NUL.
bool convert_path(PyObject* obj, const char* param, std::string* out, bool keep_nul = false);
bool convert_optional_path(PyObject* obj, const char* param, std::optional<std::string>* out, bool keep_nul = false);
bool convert_str(PyObject* obj, const char* param, std::string* out);
bool convert_bool(PyObject* obj, const char* param, bool* out);
bool convert_limit(PyObject* obj, const char* param, uint64_t* out);
// Converts the ten limit slots (in keyword order) into `limits`.
bool convert_limits(PyObject* const* slots, ResourceLimits* limits);

}  // namespace zm::py
