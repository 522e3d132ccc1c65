// save_snapshot (shared borrow) and load_snapshot (exclusive borrow).
#include <string>

#include "binding/methods.h"
#include "snapshot/snapshot_io.h"

namespace vedra::py {
namespace {

const char* const kSaveParams[] = {"full_file_path", "index_file_path", "manifest_file_path"};
const MethodSignature kSaveSig = {"MetadataCore.save_snapshot()", kSaveParams, 3, 2};
const MethodSignature kLoadSig = {"MetadataCore.load_snapshot()", kSaveParams, 2, 2};

bool path_argument(PyObject* obj, const char* name, std::string& out) {
  const char* data;
  Py_ssize_t size;
  if (!extract_str(obj, name, &data, &size)) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

}  // namespace

PyObject* method_save_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kSaveSig, args, nargs, kwnames, Borrow::kShared,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    std::string full, index, manifest;
    if (!path_argument(a[0], kSaveParams[0], full)) return nullptr;
    if (!path_argument(a[1], kSaveParams[1], index)) return nullptr;
    const bool with_manifest = a[2] != Py_None;
    if (with_manifest && !path_argument(a[2], kSaveParams[2], manifest)) return nullptr;
    Status st = save_snapshot(core.state, full, index, with_manifest ? &manifest : nullptr);
    if (!st.ok()) return raise_status(st);
    Py_RETURN_NONE;
  });
}

PyObject* method_load_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kLoadSig, args, nargs, kwnames, Borrow::kExclusive,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    std::string full, index;
    if (!path_argument(a[0], kSaveParams[0], full)) return nullptr;
    if (!path_argument(a[1], kSaveParams[1], index)) return nullptr;
    // After a load, record numbers name the loaded records, so the code strs
    // cached by record number must go.  A failed load leaves the state as it
    // was (the matcher is built before the swap), but the cache is emptied on
    // every way out all the same: dropping it is always correct, since
    // entries are remade on demand.
    struct ClearCodeStrs {
      CodeStrCache& cache;
      ~ClearCodeStrs() { cache.clear(); }
    } clear_code_strs{core.code_strs};
    Status st = load_snapshot(core.state, full, index);
    if (!st.ok()) return raise_status(st);
    Py_RETURN_NONE;
  });
}

}  // namespace vedra::py
