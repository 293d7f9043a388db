// The extension module _corvane_if: converts the Python arguments of its six raw functions into
// the pointers and sizes of the cimpl functions (the request functions are in request_wrap). It
// behaves like a wrapper generated with NumPy's SWIG typemaps (numpy.i), exception texts included:
//   - input arrays: anything NumPy turns into an array of the element type; a temporary
//     C-contiguous, native-order copy is made when the object is not one already;
//   - the output array: written in place, so it must already be a double, 2-d, C-contiguous,
//     native-order (and writeable) NumPy array, never copied;
//   - ints: Python ints that fit a signed 32-bit int; texts: str.
// The interpreter lock is held for the whole call, matrix generation included.

// This file imports the NumPy C API for the whole module.
#define CORVANE_IMPORTS_NUMPY
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "cpp/python_sources/finite_output.h"
#include "cpp/python_sources/numpy_arguments.h"
#include "cpp/python_sources/pythoninterface.h"
#include "cpp/python_sources/request_wrap.h"

namespace {

bool ToInt(PyObject* object, const char* method, int argnum, int* value) {
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "in method '%s', argument %d of type 'int'", method, argnum);
    return false;
  }
  const long v = PyLong_AsLong(object);
  if ((v == -1 && PyErr_Occurred()) || v < INT_MIN || v > INT_MAX) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "in method '%s', argument %d of type 'int'", method, argnum);
    return false;
  }
  *value = static_cast<int>(v);
  return true;
}

// The UTF-8 text of a str, valid while the object lives. A text with an embedded NUL is refused:
// the library would read only its start.
const char* ToText(PyObject* object, const char* method) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8AndSize(object, &size) : nullptr;
  if (text != nullptr && std::strlen(text) != static_cast<size_t>(size)) text = nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "in method '%s', argument 1 of type 'char const *'", method);
  }
  return text;
}

// The positional arguments of a function that takes a fixed tuple of them.
bool UnpackArgs(PyObject* args, const char* name, Py_ssize_t expected, PyObject** objects) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (given == 0) {
    PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got none", name, "",
                 static_cast<int>(expected));
    return false;
  }
  if (given != expected) {
    PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got %d", name, "",
                 static_cast<int>(expected), static_cast<int>(given));
    return false;
  }
  for (Py_ssize_t i = 0; i < expected; ++i) objects[i] = PyTuple_GET_ITEM(args, i);
  return true;
}

// Runs a cimpl function and returns its result as a Python bool. Nothing is thrown into the
// interpreter: an allocation failure becomes MemoryError.
template <typename Call>
PyObject* BoolResult(Call call) {
  try {
    return PyBool_FromLong(call());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* create_deconvolution(PyObject*, PyObject* args) {
  PyObject* o[6];
  if (!UnpackArgs(args, "cimpl_create_deconvolution", 6, o)) return nullptr;
  PsfArguments a;
  if (!a.specs.Convert(o[0], NPY_INT, 1) || !a.ConvertTables(o[1], o[2], o[3], o[4])) {
    return nullptr;
  }
  PyArrayObject* answer = OutputArray(o[5]);
  if (answer == nullptr || !a.SeparateFrom(answer)) return nullptr;
  double* matrix = static_cast<double*>(PyArray_DATA(answer));
  const int rows = static_cast<int>(PyArray_DIM(answer, 0));
  const int cols = static_cast<int>(PyArray_DIM(answer, 1));
  return BoolResult([&] {
    const bool built = cimpl_create_deconvolution(
        a.specs.Data<int>(), a.specs.Dim(0), a.psfs.Data<double>(), a.psfs.Dim(0), a.psfs.Dim(1),
        a.psfs.Dim(2), a.locations.Data<double>(), a.locations.Dim(0), a.locations.Dim(1),
        a.coeffs.Data<double>(), a.coeffs.Dim(0), a.coeffs.Dim(1), a.coeffs.Dim(2),
        a.indices.Data<int>(), a.indices.Dim(0), a.indices.Dim(1), a.indices.Dim(2), matrix, rows,
        cols);
    return KeepOnlyFiniteMatrix(built, matrix, rows, cols, "cimpl_create_deconvolution");
  });
}

PyObject* create_horizontal_stray_light_matrix(PyObject*, PyObject* args) {
  static const char* const kName = "cimpl_create_horizontal_stray_light_matrix";
  PyObject* o[11];
  if (!UnpackArgs(args, kName, 11, o)) return nullptr;
  PsfArguments a;
  InputArray vignetting;
  if (!a.specs.Convert(o[0], NPY_INT, 1) || !vignetting.Convert(o[1], NPY_DOUBLE, 2) ||
      !a.ConvertTables(o[2], o[3], o[4], o[5])) {
    return nullptr;
  }
  PyArrayObject* answer = OutputArray(o[6]);
  if (answer == nullptr || !a.SeparateFrom(answer) || !vignetting.SeparateFrom(answer)) {
    return nullptr;
  }
  // The steps are arguments 24 to 27 of the cimpl function.
  int delta_nx, delta_ny, delta_sx, delta_sy;
  if (!ToInt(o[7], kName, 24, &delta_nx) || !ToInt(o[8], kName, 25, &delta_ny) ||
      !ToInt(o[9], kName, 26, &delta_sx) || !ToInt(o[10], kName, 27, &delta_sy)) {
    return nullptr;
  }
  double* matrix = static_cast<double*>(PyArray_DATA(answer));
  const int rows = static_cast<int>(PyArray_DIM(answer, 0));
  const int cols = static_cast<int>(PyArray_DIM(answer, 1));
  return BoolResult([&] {
    const bool built = cimpl_create_horizontal_stray_light_matrix(
        a.specs.Data<int>(), a.specs.Dim(0), vignetting.Data<double>(), vignetting.Dim(0),
        vignetting.Dim(1), a.psfs.Data<double>(), a.psfs.Dim(0), a.psfs.Dim(1), a.psfs.Dim(2),
        a.locations.Data<double>(), a.locations.Dim(0), a.locations.Dim(1), a.coeffs.Data<double>(),
        a.coeffs.Dim(0), a.coeffs.Dim(1), a.coeffs.Dim(2), a.indices.Data<int>(), a.indices.Dim(0),
        a.indices.Dim(1), a.indices.Dim(2), matrix, rows, cols, delta_nx, delta_ny, delta_sx,
        delta_sy);
    return KeepOnlyFiniteMatrix(built, matrix, rows, cols, kName);
  });
}

PyObject* set_option(PyObject*, PyObject* args) {
  static const char* const kName = "cimpl_set_option";
  PyObject* o[2];
  if (!UnpackArgs(args, kName, 2, o)) return nullptr;
  const char* name = ToText(o[0], kName);
  int value;
  if (name == nullptr || !ToInt(o[1], kName, 2, &value)) return nullptr;
  return BoolResult([&] { return cimpl_set_option(name, value); });
}

PyObject* set_diagnostic(PyObject*, PyObject* arg) {
  int value;
  if (!ToInt(arg, "cimpl_set_diagnostic", 1, &value)) return nullptr;
  return BoolResult([&] { return cimpl_set_diagnostic(value); });
}

PyObject* set_numthreads(PyObject*, PyObject* arg) {
  int value;
  if (!ToInt(arg, "cimpl_set_numthreads", 1, &value)) return nullptr;
  return BoolResult([&] { return cimpl_set_numthreads(value); });
}

PyObject* set_versionstr(PyObject*, PyObject* arg) {
  const char* text = ToText(arg, "cimpl_set_versionstr");
  if (text == nullptr) return nullptr;
  return BoolResult([&] { return cimpl_set_versionstr(text); });
}

PyMethodDef kMethods[] = {
    {"cimpl_create_deconvolution", create_deconvolution, METH_VARARGS, nullptr},
    {"cimpl_create_horizontal_stray_light_matrix", create_horizontal_stray_light_matrix,
     METH_VARARGS, nullptr},
    {"cimpl_set_option", set_option, METH_VARARGS, nullptr},
    {"cimpl_set_diagnostic", set_diagnostic, METH_O, nullptr},
    {"cimpl_set_numthreads", set_numthreads, METH_O, nullptr},
    {"cimpl_set_versionstr", set_versionstr, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

int ExecModule(PyObject* module) {
  if (PyModule_AddFunctions(module, kMethods) < 0) return -1;
  import_array1(-1);
  return AddRequestApi(module);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
#if PY_VERSION_HEX >= 0x030C0000
    // The settings and the logger are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Requests rely on the interpreter lock to run one at a time.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr}};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_corvane_if", nullptr, 0, nullptr, kSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__corvane_if(void) { return PyModuleDef_Init(&kModule); }
