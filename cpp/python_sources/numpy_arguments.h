// NumPy arguments of the module's functions, converted the way a wrapper generated with NumPy's
// SWIG typemaps (numpy.i) converts them, exception texts included.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// NumPy 1.20 (C-API version 14) or later at run time; built against the NumPy 2 headers, whose
// import falls back from numpy._core to numpy.core for NumPy 1.x. One API table serves all the
// module's files; the file that defines CORVANE_IMPORTS_NUMPY holds it and imports it.
#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL corvane_numpy_api
#ifndef CORVANE_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

static_assert(sizeof(int) == 4, "NPY_INT must be the library's 32-bit int");

// An input array: a C-contiguous, native-order array of the element type, either the caller's
// object itself or a temporary copy, released with this object.
class InputArray {
 public:
  InputArray() = default;
  InputArray(const InputArray&) = delete;
  InputArray& operator=(const InputArray&) = delete;
  ~InputArray() { Py_XDECREF(m_array); }

  // False, with a Python exception set, when the object cannot be converted or has another
  // number of dimensions or a dimension that does not fit a 32-bit int.
  bool Convert(PyObject* object, int typenum, int ndims);

  template <typename T>
  T* Data() const {
    return static_cast<T*>(PyArray_DATA(m_array));
  }
  int Dim(int i) const { return static_cast<int>(PyArray_DIM(m_array, i)); }

  // Makes the input a private copy when its bytes overlap those of the output, so that the
  // library never reads what it has already written. False, with MemoryError set, when the copy
  // cannot be made.
  bool SeparateFrom(PyArrayObject* output);

 private:
  PyArrayObject* m_array = nullptr;
};

// The arrays that both matrix requests take: the windowing parameters and the PSF tables.
struct PsfArguments {
  InputArray specs, psfs, locations, coeffs, indices;

  bool SeparateFrom(PyArrayObject* out) {
    return specs.SeparateFrom(out) && psfs.SeparateFrom(out) && locations.SeparateFrom(out) &&
           coeffs.SeparateFrom(out) && indices.SeparateFrom(out);
  }

  // The arrays after the windowing parameters, in the order of the arguments.
  bool ConvertTables(PyObject* psfs_object, PyObject* locations_object, PyObject* coeffs_object,
                     PyObject* indices_object) {
    return psfs.Convert(psfs_object, NPY_DOUBLE, 3) &&
           locations.Convert(locations_object, NPY_DOUBLE, 2) &&
           coeffs.Convert(coeffs_object, NPY_DOUBLE, 3) &&
           indices.Convert(indices_object, NPY_INT, 3);
  }
};

// An array written in place: never converted, so every mismatch (type, dimensions, layout, byte
// order, read-only) is a TypeError; null then.
PyArrayObject* OutputArray(PyObject* object, int typenum = NPY_DOUBLE, int ndims = 2);
