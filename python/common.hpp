// What the module's entry points share: the class objects, argument parsing in the
// interpreter's own wording, notes on conversion errors, and the guard that turns any C++
// exception into a Python exception so that none ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <new>
#include <string_view>

namespace tavrik_py {

// The class objects, created once per process on first use (thread-safe); a new reference is
// not returned: the classes live as long as the process. Null with an exception set on failure.
PyTypeObject* raw_reader_type();
PyTypeObject* spectrum_type();

PyType_Spec& raw_reader_type_spec();
PyType_Spec& spectrum_type_spec();

// The class made from `type_definition` and kept in `slot`, made by the first caller while any other waits
// (detached from the interpreter); what the class functions above return.
PyTypeObject* type_once(std::atomic<PyObject*>& slot, PyType_Spec& type_definition);

// The UTF-8 text of the path argument `path` (of parameter `param`), which must be a str; null
// with TypeError (or the encoder's error) set, noted with the parameter, otherwise.
const char* path_text(PyObject* path, const char* param, Py_ssize_t& size);

// Raises RuntimeError with `text` (a reader's message) as its message.
void raise_runtime_error(std::string_view text);

// Takes the single parameter `param` of the call `call` ("RawReader.__new__"), given by position
// or by keyword, from a vectorcall argument list. Null with TypeError set on a wrong call.
PyObject* single_argument(const char* call, const char* param, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
// The same from a tuple and a keyword dict.
PyObject* single_argument(const char* call, const char* param, PyObject* args, PyObject* kwargs);

// Adds the note "while processing '{param}'" to the exception being raised.
void note_processing(const char* param);

// Raises the internal-fault exception (derived directly from BaseException) with `what`.
void raise_internal_fault(const char* what);

// Runs `body`, turning a C++ exception into a Python one: MemoryError for an allocation
// failure, the internal-fault exception for anything else.
template <typename Result, typename Body>
Result guarded(Result on_error, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unknown C++ exception");
    }
    return on_error;
}

}  // namespace tavrik_py
