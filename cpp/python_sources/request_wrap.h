// The module's request functions: the matrix requests with their options passed as arguments,
// built without the interpreter lock, in blocks of L1C columns if asked, followed and stopped
// through a control array; and the capture of the library's log records for the host.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Adds the request functions and the log level constants to the module; -1 with a Python
// exception set when that fails.
int AddRequestApi(PyObject* module);
