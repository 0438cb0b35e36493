#include "common.hpp"
#include "compat.hpp"

#include <atomic>
#include <mutex>

namespace tavrik_py {
namespace {

std::mutex creation_mutex;

// Locks the creation mutex; a thread that has to wait detaches from the interpreter while it
// waits, so that it never holds up the interpreter's stop-the-world pauses.
std::unique_lock<std::mutex> lock_detached() {
    std::unique_lock<std::mutex> lock(creation_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        PyThreadState* state = PyEval_SaveThread();
        lock.lock();
        PyEval_RestoreThread(state);
    }
    return lock;
}

template <typename Make>
PyObject* once(std::atomic<PyObject*>& slot, Make make) {
    if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
    auto lock = lock_detached();
    if (PyObject* made = slot.load(std::memory_order_relaxed)) return made;
    PyObject* made = make();
    if (made) slot.store(made, std::memory_order_release);
    return made;
}

std::atomic<PyObject*> internal_fault_class{nullptr};

bool is_param(PyObject* name, const char* param) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, param) == 0;
}

}  // namespace

PyTypeObject* type_once(std::atomic<PyObject*>& slot, PyType_Spec& type_definition) {
    return reinterpret_cast<PyTypeObject*>(once(slot, [&] { return PyType_FromSpec(&type_definition); }));
}

void raise_internal_fault(const char* what) {
    PyObject* fault = once(internal_fault_class, [] {
        return PyErr_NewExceptionWithDoc("tavrik.InternalFault",
                                         "A broken invariant inside tavrik; please report it.",
                                         PyExc_BaseException, nullptr);
    });
    if (fault) PyErr_SetString(fault, what);
}

PyObject* single_argument(const char* call, const char* param, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 1 || nargs + nkw > 1) {
        if (nargs + nkw > 1 && nargs <= 1) {
            // Too many in all: either the parameter twice, or an unknown keyword.
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* name = PyTuple_GET_ITEM(kwnames, k);
                if (!is_param(name, param)) {
                    PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %s()", name, call);
                    return nullptr;
                }
            }
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (1)", call, param);
            return nullptr;
        }
        PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", call, nargs + nkw);
        return nullptr;
    }
    if (nargs == 1) return args[0];
    if (nkw == 1) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
        if (is_param(name, param)) return args[0];
        PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %s()", name, call);
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos 1)", call, param);
    return nullptr;
}

PyObject* single_argument(const char* call, const char* param, PyObject* args, PyObject* kwargs) {
    // Lay the call out as a vectorcall: positional values, then keyword values with their names.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", call, nargs + nkw);
        return nullptr;
    }
    PyObject* values[2] = {nullptr, nullptr};
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    PyObject* names = nullptr;
    if (nkw > 0) {
        names = PyTuple_New(nkw);
        if (!names) return nullptr;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            values[nargs + k] = value;
            PyTuple_SET_ITEM(names, k, Py_NewRef(key));
            ++k;
        }
    }
    PyObject* result = single_argument(call, param, values, nargs, names);
    Py_XDECREF(names);
    return result;  // borrowed from args or kwargs, which outlive the call
}

const char* path_text(PyObject* path, const char* param, Py_ssize_t& size) {
    if (!PyUnicode_Check(path)) {
        if (path == Py_None)
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
        else
            PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'str'", Py_TYPE(path)->tp_name);
        note_processing(param);
        return nullptr;
    }
    const char* text = PyUnicode_AsUTF8AndSize(path, &size);
    if (!text) note_processing(param);
    return text;
}

void raise_runtime_error(std::string_view text) {
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
}

void note_processing(const char* param) {
    PyObject* exc = take_raised_exception();
    if (!exc) return;
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
    if (note) {
        PyObject* call[] = {exc, note};
        PyObject* name = PyUnicode_InternFromString("add_note");
        PyObject* done = name ? PyObject_VectorcallMethod(name, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                              : nullptr;
        Py_XDECREF(name);
        Py_XDECREF(done);
        Py_DECREF(note);
    }
    PyErr_Clear();  // a failure to add the note must not replace the original error
    restore_raised_exception(exc);
}

}  // namespace tavrik_py
