// The calls the module needs that CPython 3.11 lacks, as functions of ours: on 3.12 and later
// they are the interpreter's own, on 3.11 its older equivalents with the same effect.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavrik_py {

// Takes the exception being raised out of the thread's state, as one exception object that holds
// its traceback; null when none is being raised.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    // The value may still be a bare argument (PyErr_SetString leaves a string); make the instance.
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exception` again, with the traceback it holds; steals the reference.
inline void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (!exception) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

}  // namespace tavrik_py
