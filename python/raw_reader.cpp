// The class RawReader: one raw file, decoded whole when it is opened; its scans are handed out
// by position as independent Spectrum copies.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "core/spectrum.hpp"
#include "reader/reader.hpp"
#include "spectrum.hpp"

namespace tavrik_py {
namespace {

// What a RawReader keeps of each record: only what Python can ask for, so that a one-point
// record (an MRM transition) costs 64 bytes here and 64 in its two point lists.
struct ReaderState {
    std::string source_name;
    std::vector<SpectrumData> spectra;
};

struct RawReaderObject {
    PyObject_HEAD
    ReaderState* state;
};

const ReaderState& state_of(PyObject* self) { return *reinterpret_cast<RawReaderObject*>(self)->state; }

// Opens and decodes the file; null with RuntimeError set when the reader fails.
ReaderState* load(std::string_view path) {
    auto opened = reader::Reader::open(path);
    if (!opened) {
        raise_runtime_error(opened.error().to_string());
        return nullptr;
    }
    auto state = std::make_unique<ReaderState>(ReaderState{opened->source_name(), {}});
    // Records are decoded one index entry at a time and kept in their compact form, so that the
    // full records of more than one scan never exist at once (an MRM scan alone can make 65535).
    core::PointArena point_lists;
    reader::ScanDecoder decoder(*opened);
    state->spectra.reserve(decoder.records_to_reserve());
    std::vector<core::SpectrumRecord> batch;
    while (decoder.decode(batch, 1) > 0) {
        for (core::SpectrumRecord& r : batch)
            state->spectra.push_back(SpectrumData{std::move(r.mz), std::move(r.intensity), r.ms_level,
                                                  r.retention_time_sec});
        batch.clear();
    }
    if (state->spectra.capacity() > state->spectra.size() + state->spectra.size() / 8) state->spectra.shrink_to_fit();
    return state.release();
}

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* path = single_argument("RawReader.__new__", "path", args, kwargs);
    if (!path) return nullptr;
    Py_ssize_t size = 0;
    const char* text = path_text(path, "path", size);
    if (!text) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ReaderState* state = load(std::string_view(text, static_cast<std::size_t>(size)));
        if (!state) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) {
            delete state;
            return nullptr;
        }
        reinterpret_cast<RawReaderObject*>(self)->state = state;
        return self;
    });
}

PyObject* read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argument = single_argument("RawReader.read_spectrum", "scan_index", args, nargs, kwnames);
    if (!argument) return nullptr;
    unsigned long long index;
    if (PyLong_Check(argument)) {
        index = PyLong_AsUnsignedLongLong(argument);
    } else {
        PyObject* converted = PyNumber_Index(argument);
        index = converted ? PyLong_AsUnsignedLongLong(converted) : 0;
        Py_XDECREF(converted);
    }
    if (PyErr_Occurred()) {
        note_processing("scan_index");
        return nullptr;
    }
    const ReaderState& state = state_of(self);
    if (index >= state.spectra.size()) {
        PyErr_Format(PyExc_RuntimeError, "scan %llu out of range", index);
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        return new_spectrum(state.spectra[static_cast<std::size_t>(index)]);
    });
}

PyObject* get_scan_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(state_of(self).spectra.size()));
}

PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        const ReaderState& state = state_of(self);
        const std::string text =
            "RawReader('" + state.source_name + "', " + std::to_string(state.spectra.size()) + " scans)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<RawReaderObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"read_spectrum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_spectrum)),
     METH_FASTCALL | METH_KEYWORDS, "read_spectrum($self, scan_index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"scan_count", get_scan_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(create)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec type_spec = {"builtins.RawReader", sizeof(RawReaderObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec& raw_reader_type_spec() { return type_spec; }

PyTypeObject* raw_reader_type() {
    static std::atomic<PyObject*> made{nullptr};
    return type_once(made, type_spec);
}

}  // namespace tavrik_py
