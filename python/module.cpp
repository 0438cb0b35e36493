// The extension module tavrik: multi-phase initialisation, adding the two classes and __all__.
#include "common.hpp"

namespace tavrik_py {
namespace {

// Appends `name` to the module's __all__ (made when missing) and sets the attribute.
int add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (!type) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    } else if (!PyList_Check(all)) {
        PyErr_Format(PyExc_TypeError, "module __all__ must be a list, not %s", Py_TYPE(all)->tp_name);
        Py_DECREF(all);
        return -1;
    }
    PyObject* text = PyUnicode_FromString(name);
    const int appended = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module, got %s", Py_TYPE(module)->tp_name);
        return -1;
    }
    if (add_class(module, "RawReader", raw_reader_type()) < 0) return -1;
    if (add_class(module, "Spectrum", spectrum_type()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil  // 3.13 and later
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tavrik",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tavrik_py

PyMODINIT_FUNC PyInit_tavrik(void) { return PyModuleDef_Init(&tavrik_py::definition); }
