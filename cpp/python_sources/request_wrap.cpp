#include "cpp/python_sources/request_wrap.h"

#include <omp.h>

#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cpp/python_sources/finite_output.h"
#include "cpp/python_sources/numpy_arguments.h"
#include "cpp/python_sources/pythoninterface.h"
#include "cpp/python_sources/zvlogpython.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/talven_deconvolution_matrix.h"
#include "cpp/sources/window_layout.h"

namespace {

constexpr Py_ssize_t kControlWords = 3;

// Whether the windowing parameters are all there, so that the layout can be read from them.
bool HasLayout(const InputArray& specs) {
  return specs.Dim(0) == TALVEN_WindowLayout::kNumParameters;
}

// None, or a pair (c0, c1) with 0 <= c0 < c1 <= Kx. Without the 22 windowing parameters Kx is
// unknown; the request then fails on their number.
bool ParseColumns(PyObject* columns, const InputArray& specs, TALVEN_BuildScope* scope) {
  if (columns == Py_None) return true;
  int c0 = 0, c1 = 0;
  if (!PyArg_Parse(columns, "(ii);columns must be None or a pair of ints (c0, c1)", &c0, &c1)) {
    return false;
  }
  const bool known = HasLayout(specs);
  const int kx = known ? TALVEN_WindowLayout::FromSpecs(specs.Data<int>()).Kx : 0;
  if (c0 < 0 || c0 >= c1 || (known && c1 > kx)) {
    PyErr_Format(PyExc_ValueError,
                 "columns (%d, %d) must satisfy 0 <= c0 < c1 <= Kx, the number of L1C x-columns "
                 "(%d)",
                 c0, c1, kx);
    return false;
  }
  scope->first_column = c0;
  scope->end_column = c1;
  return true;
}

// None, or a writeable, aligned, C-contiguous int64 array of at least three words.
bool ParseControl(PyObject* control, TALVEN_BuildScope* scope) {
  if (control == Py_None) return true;
  PyArrayObject* array = OutputArray(control, NPY_INT64, 1);
  if (array == nullptr) return false;
  if (PyArray_DIM(array, 0) < kControlWords || !PyArray_ISALIGNED(array)) {
    PyErr_Format(PyExc_ValueError,
                 "control must be an aligned int64 array of at least %d words, got %zd words",
                 static_cast<int>(kControlWords), static_cast<Py_ssize_t>(PyArray_DIM(array, 0)));
    return false;
  }
  scope->control = static_cast<int64_t*>(PyArray_DATA(array));
  return true;
}

// The out array: float64, 2-d, C-contiguous, native order, writeable, and, when the windowing
// parameters are complete, of the shape the request writes: (KK, KK), or (rows of the block, KK).
PyArrayObject* ParseOut(PyObject* out, const InputArray& specs, const TALVEN_BuildScope& scope) {
  PyArrayObject* array = OutputArray(out);
  if (array == nullptr || !HasLayout(specs)) return array;
  const TALVEN_WindowLayout w = TALVEN_WindowLayout::FromSpecs(specs.Data<int>());
  const long long kk = w.KK();
  const long long rows = OutputRows(scope, w);
  if (PyArray_DIM(array, 0) != rows || PyArray_DIM(array, 1) != kk) {
    PyErr_Format(PyExc_ValueError,
                 "out has shape (%zd, %zd) but the request writes (%lld, %lld): KK = Kx * Ky rows "
                 "of KK, or Ky rows per L1C x-column of the columns block",
                 static_cast<Py_ssize_t>(PyArray_DIM(array, 0)),
                 static_cast<Py_ssize_t>(PyArray_DIM(array, 1)), rows, kk);
    return nullptr;
  }
  return array;
}

// The settings of a request that reads no process-wide setting but the version text, and puts
// the calling thread's OpenMP settings back.
TALVEN_RequestSettings RequestSettings(bool diagnostic, int threads) {
  TALVEN_RequestSettings settings;
  settings.diagnostic = diagnostic;
  settings.threads = threads;
  settings.restore_openmp = true;
  settings.version = g_versionstr;
  return settings;
}

// Runs a request with the interpreter lock released and returns its result as a Python bool.
// Nothing is thrown into the interpreter: an allocation failure becomes MemoryError.
template <typename Call>
PyObject* RunWithoutLock(Call call) {
  checklogger();
  bool result = false;
  bool no_memory = false;
  bool failed = false;
  std::string what;
  Py_BEGIN_ALLOW_THREADS;
  try {
    result = call();
  } catch (const std::bad_alloc&) {
    no_memory = true;
  } catch (const std::exception& e) {
    failed = true;
    try {
      what = e.what();
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  }
  Py_END_ALLOW_THREADS;
  write_held_log_lines();
  if (no_memory) return PyErr_NoMemory();
  if (failed) {
    PyErr_SetString(PyExc_RuntimeError, what.c_str());
    return nullptr;
  }
  return PyBool_FromLong(result);
}

PyObject* build_infield(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"window_specs", "psfs",       "locations",    "coefficients",
                                    "indices",      "out",        "use_simpsons", "lower_edge",
                                    "rows_below",   "rows_above", "diagnostic",   "threads",
                                    "columns",      "control",    nullptr};
  PyObject *specs_object, *psfs_object, *locations_object, *coeffs_object, *indices_object,
      *out_object;
  int use_simpsons = 1, lower_edge = 1, rows_below = 42, rows_above = 42, diagnostic = 0,
      threads = 0;
  PyObject* columns = Py_None;
  PyObject* control = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|$ppiipiOO:build_infield",
                                   const_cast<char**>(kKeywords), &specs_object, &psfs_object,
                                   &locations_object, &coeffs_object, &indices_object, &out_object,
                                   &use_simpsons, &lower_edge, &rows_below, &rows_above,
                                   &diagnostic, &threads, &columns, &control)) {
    return nullptr;
  }
  PsfArguments a;
  if (!a.specs.Convert(specs_object, NPY_INT, 1) ||
      !a.ConvertTables(psfs_object, locations_object, coeffs_object, indices_object)) {
    return nullptr;
  }
  TALVEN_RequestSettings settings = RequestSettings(diagnostic != 0, threads);
  settings.use_simpsons = use_simpsons != 0;
  settings.lower_edge = lower_edge != 0;
  settings.rows_below = rows_below;
  settings.rows_above = rows_above;
  if (!ParseColumns(columns, a.specs, &settings.scope) || !ParseControl(control, &settings.scope)) {
    return nullptr;
  }
  PyArrayObject* out = ParseOut(out_object, a.specs, settings.scope);
  if (out == nullptr || !a.SeparateFrom(out)) return nullptr;
  double* matrix = static_cast<double*>(PyArray_DATA(out));
  const int rows = static_cast<int>(PyArray_DIM(out, 0));
  const int cols = static_cast<int>(PyArray_DIM(out, 1));
  return RunWithoutLock([&] {
    const bool built = create_deconvolution_request(
        settings, a.specs.Data<int>(), a.specs.Dim(0), a.psfs.Data<double>(), a.psfs.Dim(0),
        a.psfs.Dim(1), a.psfs.Dim(2), a.locations.Data<double>(), a.locations.Dim(0),
        a.locations.Dim(1), a.coeffs.Data<double>(), a.coeffs.Dim(0), a.coeffs.Dim(1),
        a.coeffs.Dim(2), a.indices.Data<int>(), a.indices.Dim(0), a.indices.Dim(1),
        a.indices.Dim(2), matrix, rows, cols);
    return KeepOnlyFiniteMatrix(built, matrix, rows, cols, "build_infield");
  });
}

PyObject* build_horizontal(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {
      "window_specs", "vignetting", "psfs",    "locations", "coefficients", "indices", "out",
      "steps",        "diagnostic", "threads", "columns",   "control",      nullptr};
  PyObject *specs_object, *vignetting_object, *psfs_object, *locations_object, *coeffs_object,
      *indices_object, *out_object;
  int delta_nx = 1, delta_ny = 1, delta_sx = 1, delta_sy = 1, diagnostic = 0, threads = 0;
  PyObject* columns = Py_None;
  PyObject* control = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO|$(iiii)piOO:build_horizontal",
                                   const_cast<char**>(kKeywords), &specs_object, &vignetting_object,
                                   &psfs_object, &locations_object, &coeffs_object, &indices_object,
                                   &out_object, &delta_nx, &delta_ny, &delta_sx, &delta_sy,
                                   &diagnostic, &threads, &columns, &control)) {
    return nullptr;
  }
  PsfArguments a;
  InputArray vignetting;
  if (!a.specs.Convert(specs_object, NPY_INT, 1) ||
      !vignetting.Convert(vignetting_object, NPY_DOUBLE, 2) ||
      !a.ConvertTables(psfs_object, locations_object, coeffs_object, indices_object)) {
    return nullptr;
  }
  TALVEN_RequestSettings settings = RequestSettings(diagnostic != 0, threads);
  if (!ParseColumns(columns, a.specs, &settings.scope) || !ParseControl(control, &settings.scope)) {
    return nullptr;
  }
  PyArrayObject* out = ParseOut(out_object, a.specs, settings.scope);
  if (out == nullptr || !a.SeparateFrom(out) || !vignetting.SeparateFrom(out)) return nullptr;
  double* matrix = static_cast<double*>(PyArray_DATA(out));
  const int rows = static_cast<int>(PyArray_DIM(out, 0));
  const int cols = static_cast<int>(PyArray_DIM(out, 1));
  return RunWithoutLock([&] {
    const bool built = create_horizontal_stray_light_request(
        settings, a.specs.Data<int>(), a.specs.Dim(0), vignetting.Data<double>(), vignetting.Dim(0),
        vignetting.Dim(1), a.psfs.Data<double>(), a.psfs.Dim(0), a.psfs.Dim(1), a.psfs.Dim(2),
        a.locations.Data<double>(), a.locations.Dim(0), a.locations.Dim(1), a.coeffs.Data<double>(),
        a.coeffs.Dim(0), a.coeffs.Dim(1), a.coeffs.Dim(2), a.indices.Data<int>(), a.indices.Dim(0),
        a.indices.Dim(1), a.indices.Dim(2), matrix, rows, cols, delta_nx, delta_ny, delta_sx,
        delta_sy);
    return KeepOnlyFiniteMatrix(built, matrix, rows, cols, "build_horizontal");
  });
}

PyObject* max_threads(PyObject*, PyObject*) { return PyLong_FromLong(omp_get_max_threads()); }

PyObject* capture_log(PyObject*, PyObject* on) {
  const int capture = PyObject_IsTrue(on);
  if (capture < 0) return nullptr;
  // Lines logged before capture starts go where they were meant to.
  write_held_log_lines();
  return PyBool_FromLong(g_master_logger->SetCapture(capture != 0));
}

PyObject* take_log(PyObject*, PyObject*) {
  const std::vector<zvLogPython::Record> records = g_master_logger->TakeCaptured();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < records.size(); ++i) {
    const zvLogPython::Record& r = records[i];
    PyObject* message = PyUnicode_DecodeUTF8(r.message.data(),
                                             static_cast<Py_ssize_t>(r.message.size()), "replace");
    PyObject* file =
        PyUnicode_DecodeUTF8(r.file.data(), static_cast<Py_ssize_t>(r.file.size()), "replace");
    PyObject* item = (message != nullptr && file != nullptr)
                         ? Py_BuildValue("(iOOi)", r.level, message, file, r.line)
                         : nullptr;
    Py_XDECREF(message);
    Py_XDECREF(file);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyDoc_STRVAR(kBuildInfieldDoc,
             "build_infield(window_specs, psfs, locations, coefficients, indices, out, *, "
             "use_simpsons=True, lower_edge=True, rows_below=42, rows_above=42, diagnostic=False, "
             "threads=0, columns=None, control=None) -> bool\n\n"
             "Builds the in-field convolution matrix into out with the options given here; no "
             "setting of the cimpl_set_* functions is read or changed, except that the version "
             "line shows the version text. Runs the checks and logs the lines of "
             "cimpl_create_deconvolution, without holding the interpreter lock.\n\n"
             "out: writeable C-contiguous float64 array of shape (KK, KK), or (rows, KK) with "
             "rows = (c1 - c0) * Ky for columns=(c0, c1), the source L1C x-columns c0 .. c1 - 1; "
             "row s is source L1C pixel s = x * Ky + y. A block's rows equal those of the whole "
             "matrix bit for bit; the request's own lines are logged by the block of column 0.\n"
             "threads: above 0, the team size for this call; otherwise the calling thread's "
             "OpenMP setting. The calling thread's OpenMP settings are unchanged afterwards.\n"
             "control: None or an int64 array of at least 3 words: [0] non-zero stops the build, "
             "[1] L1C columns finished (incremented), [2] L1C columns of this call.\n"
             "Returns False, with out all zeros, when a check or the build fails or is stopped.");

PyDoc_STRVAR(kBuildHorizontalDoc,
             "build_horizontal(window_specs, vignetting, psfs, locations, coefficients, indices, "
             "out, *, steps=(1, 1, 1, 1), diagnostic=False, threads=0, columns=None, "
             "control=None) -> bool\n\n"
             "Builds the horizontal stray-light matrix into out, as "
             "cimpl_create_horizontal_stray_light_matrix does with "
             "steps = (delta_nx, delta_ny, delta_sx, delta_sy), without holding the interpreter "
             "lock. vignetting is laid out as that function takes it, (0, 0) for none.\n"
             "out, threads and columns as for build_infield; only the L1C x-columns 0 and Kx - 1 "
             "receive light. control words count L1C target rows: Ky for a call that holds "
             "column 0 or Kx - 1, none otherwise.\n"
             "Returns False, with out all zeros, when a check or the build fails or is stopped.");

PyDoc_STRVAR(kMaxThreadsDoc,
             "max_threads() -> int\n\nThe calling thread's OpenMP maximum team size "
             "(omp_get_max_threads), which threadpoolctl limits.");

PyDoc_STRVAR(kCaptureLogDoc,
             "capture_log(on) -> bool\n\nWith on true, every later log record of the library, "
             "from any thread, is kept for take_log instead of being written to sys.stdout; with "
             "on false, lines go to sys.stdout again. Returns whether capture was on.");

PyDoc_STRVAR(kTakeLogDoc,
             "take_log() -> list[tuple[int, str, str, int]]\n\nThe captured records, oldest "
             "first, as (level, message, source_path, line), and forgets them. Levels are "
             "LOG_ERROR, LOG_WARNING, LOG_INFO and LOG_CONTINUATION (the later lines of a "
             "message of several lines). Bytes that are not UTF-8 show as U+FFFD.");

PyMethodDef kRequestMethods[] = {
    {"build_infield", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_infield)),
     METH_VARARGS | METH_KEYWORDS, kBuildInfieldDoc},
    {"build_horizontal",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_horizontal)),
     METH_VARARGS | METH_KEYWORDS, kBuildHorizontalDoc},
    {"max_threads", max_threads, METH_NOARGS, kMaxThreadsDoc},
    {"capture_log", capture_log, METH_O, kCaptureLogDoc},
    {"take_log", take_log, METH_NOARGS, kTakeLogDoc},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int AddRequestApi(PyObject* module) {
  if (PyModule_AddFunctions(module, kRequestMethods) < 0) return -1;
  for (const auto& level :
       {std::make_pair("LOG_ERROR", zvlog_error), std::make_pair("LOG_WARNING", zvlog_warning),
        std::make_pair("LOG_INFO", zvlog_info),
        std::make_pair("LOG_CONTINUATION", zvlog_continuation)}) {
    if (PyModule_AddIntConstant(module, level.first, level.second) < 0) return -1;
  }
  return 0;
}
