// The extension module _zarnik_manifest: constants, the six functions, multi-phase init.
#include <exception>
#include <new>

#include <fmt/format.h>

#include "io/sha256.h"
#include "manifest/create/create.h"
#include "manifest/load.h"
#include "manifest/load_plan.h"
#include "manifest/schema/codec.h"
#include "manifest/verify/context.h"
#include "python/py.h"

namespace zm::py {

namespace {

constexpr int kLimitCount = static_cast<int>(std::size(kLimitFields));

// Keys of an auxiliary request, created once at module execution (lock held).
PyObject* g_key_name = nullptr;
PyObject* g_key_path = nullptr;
PyObject* g_key_required = nullptr;

// Runs a function body; a C++ exception escaping the core is an internal invariant
// failure (never ordinary input) and becomes the binding's internal error. A signal
// handler's exception (ErrorAlreadySet) is already set and propagates as it is.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (const ErrorAlreadySet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error_type(), e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(internal_error_type(), "unexpected internal failure");
    return nullptr;
  }
}

#define ZM_LIMIT_PARAMS                                                                               \
  "max_manifest_bytes", "max_row_map_line_bytes", "max_row_map_rows", "max_row_map_tracked_id_bytes", \
      "max_auxiliary_artifacts", "max_auxiliary_artifact_bytes", "max_calibration_profile_bytes",     \
      "max_encoder_distortion_profile_bytes", "max_report_issues", "max_cached_report_bytes"

// ---- default_resource_limits() --------------------------------------------------------

PyObject* default_resource_limits(PyObject*, PyObject*) {
  return guarded([] { return json_to_py(limits_json(ResourceLimits{})); });
}

// ---- sha256_file(path) ----------------------------------------------------------------

const char* const kShaParams[] = {"path"};
const Signature kShaSig{"sha256_file", kShaParams, 1, 1};

PyObject* sha256_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_arguments(kShaSig, args, nargs, kwnames, slots)) return nullptr;
    std::string path;
    if (!convert_path(slots[0], "path", &path)) return nullptr;
    auto digest = without_gil([&] { return io::sha256_stream_file(path); });
    if (!digest) return raise_manifest_error(digest.error(), &path);
    return json_to_py(fmt::format("{{\"sha256\":\"{}\",\"size_bytes\":{}}}", digest->sha256, digest->size_bytes));
  });
}

// ---- inspect_manifest(manifest, *, limits) ---------------------------------------------

const char* const kInspectParams[] = {"manifest", ZM_LIMIT_PARAMS};
const Signature kInspectSig{"inspect_manifest", kInspectParams, 1 + kLimitCount, 1};

PyObject* inspect_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1 + kLimitCount];
    if (!bind_arguments(kInspectSig, args, nargs, kwnames, slots)) return nullptr;
    std::string manifest;
    ResourceLimits limits;
    if (!convert_path(slots[0], "manifest", &manifest)) return nullptr;
    if (!convert_limits(slots + 1, &limits)) return nullptr;
    std::string text;
    {
      auto doc = without_gil([&] { return load_manifest_file_with_options(manifest, limits.max_manifest_bytes); });
      if (!doc) return raise_manifest_error(doc.error(), &manifest);
      text = write_manifest_compact(doc->manifest);
    }
    // The parsed record is freed first: its memory, already in use, then takes the text
    // decoded for json.loads instead of fresh pages.
    return json_to_py(std::move(text));
  });
}

// ---- verify_manifest / verify_for_load -------------------------------------------------

const char* const kVerifyParams[] = {
    "manifest", "index", "allow_absolute_paths", "allow_path_escape", "allow_duplicate_db_ids", ZM_LIMIT_PARAMS};
constexpr int kVerifyCount = 5 + kLimitCount;

// Binds and converts in the order manifest, index, the three flags, the limits.
bool bind_verify(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string* manifest,
                 VerifyOptions* options) {
  const Signature sig{name, kVerifyParams, kVerifyCount, 1};
  PyObject* slots[kVerifyCount];
  if (!bind_arguments(sig, args, nargs, kwnames, slots)) return false;
  if (!convert_path(slots[0], "manifest", manifest)) return false;
  // The index override is a path the verifier resolves: one with a NUL byte is reported
  // as unavailable like a declared one, not refused here.
  if (!convert_optional_path(slots[1], "index", &options->index, /*keep_nul=*/true)) return false;
  if (slots[2] && !convert_bool(slots[2], "allow_absolute_paths", &options->allow_absolute_paths)) return false;
  if (slots[3] && !convert_bool(slots[3], "allow_path_escape", &options->allow_path_escape)) return false;
  if (slots[4] && !convert_bool(slots[4], "allow_duplicate_db_ids", &options->allow_duplicate_db_ids)) return false;
  return convert_limits(slots + 5, &options->limits);
}

PyObject* verify_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string manifest;
    VerifyOptions options;
    if (!bind_verify("verify_manifest", args, nargs, kwnames, &manifest, &options)) return nullptr;
    // Loading, verification and releasing the document all run without the lock.
    auto report = without_gil([&]() -> Result<VerificationReport> {
      auto doc = load_manifest_file_with_options(manifest, options.limits.max_manifest_bytes);
      if (!doc) return fail(doc.error());
      return verify_manifest_with_path_capture(*doc, options).report;
    });
    // Only loading fails, so an I/O error concerns the manifest file.
    if (!report) return raise_manifest_error(report.error(), &manifest);
    return json_to_py(write_report_json(*report));
  });
}

PyObject* verify_for_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string manifest;
    VerifyOptions options;
    if (!bind_verify("verify_for_load", args, nargs, kwnames, &manifest, &options)) return nullptr;
    using PlanResult = std::expected<VerifiedLoadPlan, VerifiedLoadPlanError>;
    auto plan = without_gil([&]() -> Result<PlanResult> {
      auto doc = load_manifest_file_with_options(manifest, options.limits.max_manifest_bytes);
      if (!doc) return fail(doc.error());
      return build_verified_load_plan(*doc, verify_manifest_with_path_capture(*doc, options));
    });
    if (!plan) return raise_manifest_error(plan.error(), &manifest);
    if (!*plan) return raise_text(PyExc_ValueError, plan->error().message);
    VerifiedLoadPlan& p = **plan;
    if (p.manifest_path) p.manifest_path = path_to_string(*p.manifest_path);
    p.artifact_path = path_to_string(p.artifact_path);
    if (p.row_identity.path) p.row_identity.path = path_to_string(*p.row_identity.path);
    for (auto& aux : p.auxiliary_artifacts) {
      if (aux.path) aux.path = path_to_string(*aux.path);
    }
    return json_to_py(write_load_plan_json(p));
  });
}

// ---- create_manifest ------------------------------------------------------------------

const char* const kCreateParams[] = {"index",
                                     "out",
                                     "embedding_model",
                                     "row_map",
                                     "row_id_is_identity",
                                     "auxiliary_artifacts",
                                     "allow_absolute_paths",
                                     "allow_path_escape",
                                     ZM_LIMIT_PARAMS};
constexpr int kCreateCount = 8 + kLimitCount;
const Signature kCreateSig{"create_manifest", kCreateParams, kCreateCount, 3};

// Reads one auxiliary request: "name" (str), "path" (path), "required" (bool, True when
// the lookup raises KeyError). Lookup and conversion errors propagate without a note.
bool read_auxiliary_item(PyObject* item, CreateAuxiliaryArtifact* out) {
  PyObject* value = PyObject_GetItem(item, g_key_name);
  if (value == nullptr) return false;
  bool ok = convert_str(value, nullptr, &out->name);
  Py_DECREF(value);
  if (!ok) return false;
  value = PyObject_GetItem(item, g_key_path);
  if (value == nullptr) return false;
  ok = convert_path(value, nullptr, &out->path);
  Py_DECREF(value);
  if (!ok) return false;
  value = PyObject_GetItem(item, g_key_required);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
    out->required = true;
    return true;
  }
  ok = convert_bool(value, nullptr, &out->required);
  Py_DECREF(value);
  return ok;
}

bool read_auxiliary_requests(PyObject* iterable, std::vector<CreateAuxiliaryArtifact>* out) {
  PyObject* iter = PyObject_GetIter(iterable);
  if (iter == nullptr) return false;
  PyObject* item;
  while ((item = PyIter_Next(iter)) != nullptr) {
    CreateAuxiliaryArtifact request;
    bool ok = read_auxiliary_item(item, &request);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iter);
      return false;
    }
    out->push_back(std::move(request));
  }
  Py_DECREF(iter);
  return !PyErr_Occurred();
}

PyObject* create_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kCreateCount];
    if (!bind_arguments(kCreateSig, args, nargs, kwnames, slots)) return nullptr;
    CreateManifestRequest req;
    bool identity = false;
    auto& opt = req.options;
    if (!convert_path(slots[0], "index", &req.index)) return nullptr;
    if (!convert_path(slots[1], "out", &req.out)) return nullptr;
    if (!convert_str(slots[2], "embedding_model", &req.embedding_model)) return nullptr;
    if (!convert_optional_path(slots[3], "row_map", &req.row_map)) return nullptr;
    if (slots[4] && !convert_bool(slots[4], "row_id_is_identity", &identity)) return nullptr;
    if (slots[6] && !convert_bool(slots[6], "allow_absolute_paths", &opt.allow_absolute_paths)) return nullptr;
    if (slots[7] && !convert_bool(slots[7], "allow_path_escape", &opt.allow_path_escape)) return nullptr;
    if (!convert_limits(slots + 8, &opt.limits)) return nullptr;
    if (req.row_map && identity) {
      PyErr_SetString(PyExc_ValueError, "use either row_map or row_id_is_identity, not both");
      return nullptr;
    }
    if (!req.row_map && !identity) {
      PyErr_SetString(PyExc_ValueError, "one of row_map or row_id_is_identity=True is required");
      return nullptr;
    }
    if (slots[5] != nullptr && slots[5] != Py_None && !read_auxiliary_requests(slots[5], &req.auxiliary_artifacts)) {
      return nullptr;
    }
    auto manifest = without_gil([&] { return zm::create_manifest(req); });
    if (!manifest) return raise_manifest_error(manifest.error());
    return json_to_py(write_manifest_compact(*manifest));
  });
}

// ---- module definition ----------------------------------------------------------------

#define ZM_LIMIT_SIG                                                                                     \
  "max_manifest_bytes=None, max_row_map_line_bytes=None, max_row_map_rows=None, "                        \
  "max_row_map_tracked_id_bytes=None, max_auxiliary_artifacts=None, max_auxiliary_artifact_bytes=None, " \
  "max_calibration_profile_bytes=None, max_encoder_distortion_profile_bytes=None, "                      \
  "max_report_issues=None, max_cached_report_bytes=None"
#define ZM_VERIFY_SIG(name)                                                              \
  name "(manifest, *, index=None, allow_absolute_paths=False, allow_path_escape=False, " \
       "allow_duplicate_db_ids=False, " ZM_LIMIT_SIG ")\n--\n\n"

PyMethodDef kMethods[] = {
    {"default_resource_limits", default_resource_limits, METH_NOARGS, "default_resource_limits()\n--\n\n"},
    {"sha256_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sha256_file)),
     METH_FASTCALL | METH_KEYWORDS, "sha256_file(path)\n--\n\n"},
    {"inspect_manifest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect_manifest)),
     METH_FASTCALL | METH_KEYWORDS, "inspect_manifest(manifest, *, " ZM_LIMIT_SIG ")\n--\n\n"},
    {"verify_manifest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify_manifest)),
     METH_FASTCALL | METH_KEYWORDS, ZM_VERIFY_SIG("verify_manifest")},
    {"verify_for_load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify_for_load)),
     METH_FASTCALL | METH_KEYWORDS, ZM_VERIFY_SIG("verify_for_load")},
    {"create_manifest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(create_manifest)),
     METH_FASTCALL | METH_KEYWORDS,
     "create_manifest(index, out, embedding_model, *, row_map=None, row_id_is_identity=False, "
     "auxiliary_artifacts=None, allow_absolute_paths=False, allow_path_escape=False, " ZM_LIMIT_SIG ")\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_zarnik_manifest execution expects a module object");
    return -1;
  }
  if (!init_shared_objects()) return -1;
  for (auto [slot, text] : {std::pair{&g_key_name, "name"}, {&g_key_path, "path"}, {&g_key_required, "required"}}) {
    if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
    if (*slot == nullptr) return -1;
  }
  if (PyModule_AddStringConstant(module, "SCHEMA_VERSION", kSchemaVersion) < 0) return -1;
  if (PyModule_AddStringConstant(module, "CALIBRATION_SCHEMA_VERSION", kCalibrationSchemaVersion) < 0) return -1;
  if (PyModule_AddStringConstant(module, "ENCODER_DISTORTION_SCHEMA_VERSION", kEncoderDistortionSchemaVersion) < 0)
    return -1;
  const ResourceLimits defaults;
  static const char* const kConstantNames[] = {
      "DEFAULT_MAX_MANIFEST_BYTES",
      "DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES",
      "DEFAULT_MAX_ROW_IDENTITY_ROWS",
      "DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES",
      "DEFAULT_MAX_AUXILIARY_ARTIFACTS",
      "DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES",
      "DEFAULT_MAX_CALIBRATION_PROFILE_BYTES",
      "DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
      "DEFAULT_MAX_REPORT_ISSUES",
      "DEFAULT_MAX_CACHED_REPORT_BYTES",
  };
  int i = 0;
  for (const auto& field : kLimitFields) {
    PyObject* value = PyLong_FromUnsignedLongLong(defaults.*field.member);
    if (value == nullptr) return -1;
    int rc = PyModule_AddObjectRef(module, kConstantNames[i++], value);
    Py_DECREF(value);
    if (rc < 0) return -1;
  }
  return PyModule_AddFunctions(module, kMethods);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_zarnik_manifest", nullptr, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace zm::py

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the interpreter looks for.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__zarnik_manifest(void) {
  return PyModuleDef_Init(&zm::py::kModuleDef);
}
