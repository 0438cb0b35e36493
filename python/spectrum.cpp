// The class Spectrum: one scan handed to Python, an immutable copy of a record's m/z values,
// intensities, MS level and retention time.
#include "spectrum.hpp"

#include <string>

namespace tavrik_py {
namespace {

struct SpectrumObject {
    PyObject_HEAD
    SpectrumData* data;
};

SpectrumData& data_of(PyObject* self) { return *reinterpret_cast<SpectrumObject*>(self)->data; }

template <typename T>
PyObject* float_list(const core::Values<T>& values) {
    const auto n = static_cast<Py_ssize_t>(values.size());
    PyObject* list = PyList_New(n);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(values[static_cast<std::size_t>(i)]));
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

PyObject* get_mz(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return float_list(data_of(self).mz); });
}
PyObject* get_intensity(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return float_list(data_of(self).intensity); });
}
PyObject* get_ms_level(PyObject* self, void*) { return PyLong_FromLong(static_cast<long>(data_of(self).ms_level)); }
PyObject* get_retention_time(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).retention_time_sec); }

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(data_of(self).mz.size()); }

PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const SpectrumData& d = data_of(self);
        char* rt = PyOS_double_to_string(d.retention_time_sec, 'f', 2, 0, nullptr);
        if (!rt) return nullptr;
        const std::string text = "Spectrum(" + std::to_string(d.mz.size()) + " peaks, RT " + rt + "s)";
        PyMem_Free(rt);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SpectrumObject*>(self)->data;
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef properties[] = {
    {"mz", get_mz, nullptr, nullptr, nullptr},
    {"intensity", get_intensity, nullptr, nullptr, nullptr},
    {"ms_level", get_ms_level, nullptr, nullptr, nullptr},
    {"retention_time_sec", get_retention_time, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_tp_getset, properties},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "builtins.Spectrum",
    sizeof(SpectrumObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyType_Spec& spectrum_type_spec() { return type_spec; }

PyTypeObject* spectrum_type() {
    static std::atomic<PyObject*> made{nullptr};
    return type_once(made, type_spec);
}

PyObject* new_spectrum(SpectrumData data) {
    PyTypeObject* type = spectrum_type();
    if (!type) return nullptr;
    auto* owned = new SpectrumData(std::move(data));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete owned;
        return nullptr;
    }
    reinterpret_cast<SpectrumObject*>(self)->data = owned;
    return self;
}

}  // namespace tavrik_py
