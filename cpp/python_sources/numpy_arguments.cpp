#include "cpp/python_sources/numpy_arguments.h"

#include <climits>

namespace {

// Describes a non-array object in the "A '%s' was given" message.
const char* PythonTypeName(PyObject* object) {
  if (object == nullptr) return "C NULL value";
  if (object == Py_None) return "Python None";
  if (PyCallable_Check(object)) return "callable";
  if (PyUnicode_Check(object)) return "string";
  if (PyLong_Check(object)) return "int";
  if (PyFloat_Check(object)) return "float";
  if (PyDict_Check(object)) return "dict";
  if (PyTuple_Check(object)) return "tuple";
  if (PyList_Check(object)) return "list";
  return "unknown type";
}

// NumPy type numbers 0 to 23 by the names of the SWIG typemaps (C type names); numbers 21 to 23
// are named for what they are (datetime64, timedelta64, float16).
const char* NumpyTypeName(int typenum) {
  // clang-format off
  static const char* const kNames[] = {
      "bool", "byte", "unsigned byte", "short", "unsigned short", "int", "unsigned int", "long",
      "unsigned long", "long long", "unsigned long long", "float", "double", "long double",
      "complex float", "complex double", "complex long double", "object", "string", "unicode",
      "void", "datetime", "timedelta", "half"};
  // clang-format on
  constexpr int kCount = static_cast<int>(sizeof(kNames) / sizeof(kNames[0]));
  return (typenum >= 0 && typenum < kCount) ? kNames[typenum] : "unknown";
}

bool RequireDimensions(PyArrayObject* array, int ndims) {
  if (PyArray_NDIM(array) == ndims) return true;
  PyErr_Format(PyExc_TypeError, "Array must have %d dimensions.  Given array has %d dimensions",
               ndims, PyArray_NDIM(array));
  return false;
}

// The library counts in 32-bit ints; a larger dimension would wrap.
bool RequireIntDimensions(PyArrayObject* array) {
  for (int i = 0; i < PyArray_NDIM(array); ++i) {
    if (PyArray_DIM(array, i) > INT_MAX) {
      PyErr_Format(PyExc_ValueError,
                   "Array dimensions must fit a 32-bit int.  Given array has a dimension of %zd",
                   static_cast<Py_ssize_t>(PyArray_DIM(array, i)));
      return false;
    }
  }
  return true;
}

}  // namespace

bool InputArray::Convert(PyObject* object, int typenum, int ndims) {
  m_array =
      reinterpret_cast<PyArrayObject*>(PyArray_FROMANY(object, typenum, 0, 0, NPY_ARRAY_IN_ARRAY));
  return m_array != nullptr && RequireDimensions(m_array, ndims) && RequireIntDimensions(m_array);
}

bool InputArray::SeparateFrom(PyArrayObject* output) {
  // Both are C-contiguous, so each covers one range of bytes.
  const char* in = PyArray_BYTES(m_array);
  const char* out = PyArray_BYTES(output);
  const bool overlap = PyArray_NBYTES(m_array) > 0 && PyArray_NBYTES(output) > 0 &&
                       in < out + PyArray_NBYTES(output) && out < in + PyArray_NBYTES(m_array);
  if (!overlap) return true;
  PyArrayObject* copy = reinterpret_cast<PyArrayObject*>(PyArray_NewCopy(m_array, NPY_CORDER));
  if (copy == nullptr) return false;
  Py_DECREF(m_array);
  m_array = copy;
  return true;
}

PyArrayObject* OutputArray(PyObject* object, int typenum, int ndims) {
  if (!PyArray_Check(object)) {
    PyErr_Format(PyExc_TypeError, "Array of type '%s' required.  A '%s' was given",
                 NumpyTypeName(typenum), PythonTypeName(object));
    return nullptr;
  }
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
  if (!PyArray_EquivTypenums(PyArray_TYPE(array), typenum)) {
    PyErr_Format(PyExc_TypeError, "Array of type '%s' required.  Array of type '%s' given",
                 NumpyTypeName(typenum), NumpyTypeName(PyArray_TYPE(array)));
    return nullptr;
  }
  if (!RequireDimensions(array, ndims)) return nullptr;
  if (!PyArray_ISCONTIGUOUS(array)) {
    PyErr_SetString(PyExc_TypeError, "Array must be contiguous.  A non-contiguous array was given");
    return nullptr;
  }
  if (!PyArray_ISNOTSWAPPED(array)) {
    PyErr_SetString(PyExc_TypeError,
                    "Array must have native byteorder.  A byte-swapped array was given");
    return nullptr;
  }
  // The library writes into it: a read-only array (a view of immutable memory) must stay so.
  if (!PyArray_ISWRITEABLE(array)) {
    PyErr_SetString(PyExc_TypeError, "Array must be writeable.  A read-only array was given");
    return nullptr;
  }
  return RequireIntDimensions(array) ? array : nullptr;
}
