// The extension module tavrik_tables: a raw file decoded once into a Run, whose scans are handed
// out as read-only buffers over the run's own memory and whose tables are Arrow streams.
// Multi-phase initialisation; no global lock needed (every object is immutable once made).
#include <atomic>
#include <cmath>
#include <optional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "../common.hpp"
#include "arrow_tables.hpp"
#include "run_data.hpp"

namespace tavrik_tables {
namespace {

using tavrik_py::guarded;
using RunHandle = std::shared_ptr<const RunData>;

// --- PointArray: one scan's m/z values or intensities ----------------------------------------

struct PointArrayObject {
    PyObject_HEAD
    RunHandle run;  // keeps the memory alive; built in place: one allocation an array, not two
    void* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    char format[2];
};

int point_array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* a = reinterpret_cast<PointArrayObject*>(self);
    if (PyBuffer_FillInfo(view, self, a->data, a->shape[0] * a->strides[0], 1, flags) < 0) return -1;
    view->itemsize = a->strides[0];
    view->format = (flags & PyBUF_FORMAT) ? a->format : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? a->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides : nullptr;
    return 0;
}

Py_ssize_t point_array_length(PyObject* self) { return reinterpret_cast<PointArrayObject*>(self)->shape[0]; }

PyObject* point_array_repr(PyObject* self) {
    auto* a = reinterpret_cast<PointArrayObject*>(self);
    return PyUnicode_FromFormat("PointArray(%zd %s)", a->shape[0], a->format[0] == 'd' ? "float64" : "float32");
}

void point_array_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PointArrayObject*>(self)->run.~RunHandle();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot point_array_slots[] = {
    {Py_tp_doc, const_cast<char*>("A scan's m/z values (float64) or intensities (float32): a read-only buffer over "
                                  "the run's memory.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(point_array_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(point_array_repr)},
    {Py_sq_length, reinterpret_cast<void*>(point_array_length)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(point_array_getbuffer)},
    {0, nullptr},
};

PyType_Spec point_array_spec = {"tavrik_tables.PointArray", sizeof(PointArrayObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, point_array_slots};

PyTypeObject* point_array_type() {
    static std::atomic<PyObject*> made{nullptr};
    return tavrik_py::type_once(made, point_array_spec);
}

// A point array over `count` values at `data`, of `format` ('d' or 'f') and `itemsize` bytes.
PyObject* new_point_array(const RunHandle& run, const void* data, std::size_t count, char format,
                          Py_ssize_t itemsize) {
    static double none = 0.0;  // the address of an empty scan's values
    PyTypeObject* type = point_array_type();
    if (!type) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* a = reinterpret_cast<PointArrayObject*>(self);
    new (&a->run) RunHandle(run);
    a->data = const_cast<void*>(count > 0 ? data : &none);
    a->shape[0] = static_cast<Py_ssize_t>(count);
    a->strides[0] = itemsize;
    a->format[0] = format;
    a->format[1] = '\0';
    return self;
}

// --- Table: one of a run's tables, an Arrow stream source ------------------------------------

struct TableObject {
    PyObject_HEAD
    RunHandle* run;
    Table table;
};

void release_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!schema) {
        PyErr_Clear();
        return;
    }
    if (schema->release) schema->release(schema);
    delete schema;
}

void release_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

PyObject* table_schema(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto schema = std::make_unique<ArrowSchema>();
        schema->release = nullptr;
        export_schema(reinterpret_cast<TableObject*>(self)->table, schema.get());
        PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", release_schema_capsule);
        if (!capsule) {
            schema->release(schema.get());
            return nullptr;
        }
        schema.release();
        return capsule;
    });
}

// __arrow_c_stream__(requested_schema=None): a request for another schema is not taken up; the
// consumer is handed the table's own, as the interface allows.
PyObject* table_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t given = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (given > 0 && !tavrik_py::single_argument("__arrow_c_stream__", "requested_schema", args, nargs, kwnames))
        return nullptr;
    auto* t = reinterpret_cast<TableObject*>(self);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto stream = std::make_unique<ArrowArrayStream>();
        stream->release = nullptr;
        export_stream(*t->run, t->table, stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", release_stream_capsule);
        if (!capsule) {
            stream->release(stream.get());
            return nullptr;
        }
        stream.release();
        return capsule;
    });
}

Py_ssize_t table_length(PyObject* self) {
    auto* t = reinterpret_cast<TableObject*>(self);
    return static_cast<Py_ssize_t>(table_rows(**t->run, t->table));
}

PyObject* table_repr(PyObject* self) {
    auto* t = reinterpret_cast<TableObject*>(self);
    const RunData& run = **t->run;
    return guarded<PyObject*>(nullptr, [&] {
        const std::string text = "Table('" + run.source_name + "', " + table_name(t->table) + ", " +
                                 std::to_string(table_rows(run, t->table)) + " rows)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

void table_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<TableObject*>(self)->run;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef table_methods[] = {
    {"__arrow_c_schema__", table_schema, METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_stream)),
     METH_FASTCALL | METH_KEYWORDS, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("One of a run's tables, handed to Arrow consumers through __arrow_c_stream__.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_methods, table_methods},
    {Py_sq_length, reinterpret_cast<void*>(table_length)},
    {0, nullptr},
};

PyType_Spec table_spec = {"tavrik_tables.Table", sizeof(TableObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, table_slots};

PyTypeObject* table_type() {
    static std::atomic<PyObject*> made{nullptr};
    return tavrik_py::type_once(made, table_spec);
}

PyObject* new_table(const RunHandle& run, Table table) {
    PyTypeObject* type = table_type();
    if (!type) return nullptr;
    auto* owner = new RunHandle(run);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete owner;
        return nullptr;
    }
    reinterpret_cast<TableObject*>(self)->run = owner;
    reinterpret_cast<TableObject*>(self)->table = table;
    return self;
}

// --- Run: one raw file, decoded whole ---------------------------------------------------------

struct RunObject {
    PyObject_HEAD
    RunHandle* run;
};

const RunHandle& handle_of(PyObject* self) { return *reinterpret_cast<RunObject*>(self)->run; }

// The scan position `argument` names, negative ones from the end as a sequence takes them; -1
// with IndexError (or TypeError) set when there is none.
Py_ssize_t scan_position(PyObject* self, PyObject* argument) {
    const Py_ssize_t size = static_cast<Py_ssize_t>(handle_of(self)->size());
    Py_ssize_t i = PyNumber_AsSsize_t(argument, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return -1;
    if (i < 0) i += size;
    if (i < 0 || i >= size) {
        PyErr_SetString(PyExc_IndexError, "scan index out of range");
        return -1;
    }
    return i;
}

PyObject* run_mz(PyObject* self, PyObject* argument) {
    const Py_ssize_t i = scan_position(self, argument);
    if (i < 0) return nullptr;
    const RunHandle& run = handle_of(self);
    return guarded<PyObject*>(nullptr, [&] {
        return new_point_array(run, run->mz(static_cast<std::size_t>(i)), run->points[static_cast<std::size_t>(i)].count,
                               'd', sizeof(double));
    });
}

PyObject* run_intensity(PyObject* self, PyObject* argument) {
    const Py_ssize_t i = scan_position(self, argument);
    if (i < 0) return nullptr;
    const RunHandle& run = handle_of(self);
    return guarded<PyObject*>(nullptr, [&] {
        return new_point_array(run, run->intensity(static_cast<std::size_t>(i)),
                               run->points[static_cast<std::size_t>(i)].count, 'f', sizeof(float));
    });
}

PyObject* run_get_name(PyObject* self, void*) {
    const std::string& name = handle_of(self)->source_name;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* run_get_layout(PyObject* self, void*) {
    const std::string_view layout = handle_of(self)->layout;
    return PyUnicode_FromStringAndSize(layout.data(), static_cast<Py_ssize_t>(layout.size()));
}

// The time of acquisition as an aware datetime in UTC; None when the file tells none, or one
// that a datetime cannot hold (a year past 9999).
PyObject* run_get_acquired_at(PyObject* self, void*) {
    const std::optional<std::string>& text = handle_of(self)->acquired_at;
    if (!text) Py_RETURN_NONE;
    PyObject* module = PyImport_ImportModule("datetime");
    if (!module) return nullptr;
    PyObject* datetime = PyObject_GetAttrString(module, "datetime");
    Py_DECREF(module);
    if (!datetime) return nullptr;
    PyObject* value = PyObject_CallMethod(datetime, "fromisoformat", "s#", text->data(),
                                          static_cast<Py_ssize_t>(text->size()));
    Py_DECREF(datetime);
    if (!value && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return value;
}

PyObject* run_get_mz_are_channel_indices(PyObject* self, void*) {
    return PyBool_FromLong(handle_of(self)->mz_are_channel_indices);
}

PyObject* run_get_spectra(PyObject* self, void*) { return new_table(handle_of(self), Table::spectra); }
PyObject* run_get_points(PyObject* self, void*) { return new_table(handle_of(self), Table::points); }
PyObject* run_get_chromatograms(PyObject* self, void*) { return new_table(handle_of(self), Table::chromatograms); }

Py_ssize_t run_length(PyObject* self) { return static_cast<Py_ssize_t>(handle_of(self)->size()); }

PyObject* run_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        const RunData& run = *handle_of(self);
        const std::string text = "Run('" + run.source_name + "', " + std::to_string(run.size()) + " scans)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

void run_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<RunObject*>(self)->run;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef run_methods[] = {
    {"mz", run_mz, METH_O, "mz($self, scan_index, /)\n--\n\nThe scan's m/z values, float64, read-only."},
    {"intensity", run_intensity, METH_O,
     "intensity($self, scan_index, /)\n--\n\nThe scan's intensities, float32, read-only."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef run_properties[] = {
    {"name", run_get_name, nullptr, nullptr, nullptr},
    {"layout", run_get_layout, nullptr, nullptr, nullptr},
    {"acquired_at", run_get_acquired_at, nullptr, nullptr, nullptr},
    {"mz_are_channel_indices", run_get_mz_are_channel_indices, nullptr, nullptr, nullptr},
    {"spectra", run_get_spectra, nullptr, nullptr, nullptr},
    {"points", run_get_points, nullptr, nullptr, nullptr},
    {"chromatograms", run_get_chromatograms, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_doc, const_cast<char*>("One raw file, decoded whole by tavrik_tables.open(path).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(run_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(run_repr)},
    {Py_tp_methods, run_methods},
    {Py_tp_getset, run_properties},
    {Py_sq_length, reinterpret_cast<void*>(run_length)},
    {0, nullptr},
};

PyType_Spec run_spec = {"tavrik_tables.Run", sizeof(RunObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, run_slots};

PyTypeObject* run_type() {
    static std::atomic<PyObject*> made{nullptr};
    return tavrik_py::type_once(made, run_spec);
}

// open()'s keyword-only options: whether profile spectra are centroided, and the least peak kept.
struct OpenOptions {
    bool centroid = false;
    double centroid_min_intensity = 0.0;
    bool min_intensity_given = false;
};

bool is_open_option(PyObject* name) {
    return PyUnicode_Check(name) && (PyUnicode_CompareWithASCIIString(name, "centroid") == 0 ||
                                     PyUnicode_CompareWithASCIIString(name, "centroid_min_intensity") == 0);
}

// Takes the keywords after `path` off the call (moving them out of `nkw`); false with an error set.
bool take_open_options(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t& nkw, OpenOptions& options) {
    Py_ssize_t kept = 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "centroid") == 0) {
            if (!PyBool_Check(value)) {
                PyErr_Format(PyExc_TypeError, "open() argument 'centroid' must be True or False, not %.200s", Py_TYPE(value)->tp_name);
                return false;
            }
            options.centroid = value == Py_True;
        } else if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "centroid_min_intensity") == 0) {
            const double x = PyFloat_AsDouble(value);
            if (x == -1.0 && PyErr_Occurred()) return false;
            if (!std::isfinite(x) || x < 0) {
                PyErr_Format(PyExc_ValueError, "open() argument 'centroid_min_intensity' must be a finite number, 0 or more, not %R", value);
                return false;
            }
            options.centroid_min_intensity = x;
            options.min_intensity_given = true;
        } else {
            ++kept;  // `path` by name, or a keyword single_argument refuses
        }
    }
    if (options.min_intensity_given && !options.centroid) {
        PyErr_SetString(PyExc_ValueError, "open() argument 'centroid_min_intensity' applies only with centroid=True");
        return false;
    }
    nkw = kept;
    return true;
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The options are keywords; what is left (path, by position or name) is checked as a single argument.
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    OpenOptions options;
    if (!take_open_options(args, nargs, kwnames, nkw, options)) return nullptr;
    // The call without the options: the positional values, then the other keywords' values.
    std::vector<PyObject*> rest_args(args, args + nargs);
    PyObject* rest = nullptr;  // their names
    if (nkw > 0) {
        rest = PyTuple_New(nkw);
        if (!rest) return nullptr;
        Py_ssize_t at = 0;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            if (is_open_option(name)) continue;
            PyTuple_SET_ITEM(rest, at++, Py_NewRef(name));
            rest_args.push_back(args[nargs + k]);
        }
    }
    PyObject* path = tavrik_py::single_argument("open", "path", rest_args.data(), nargs, rest);
    Py_XDECREF(rest);
    if (!path) return nullptr;
    Py_ssize_t size = 0;
    const char* text = tavrik_py::path_text(path, "path", size);
    if (!text) return nullptr;
    PyTypeObject* type = run_type();
    if (!type) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto opened = open_run(std::string_view(text, static_cast<std::size_t>(size)),
                               options.centroid ? std::optional(options.centroid_min_intensity) : std::nullopt);
        if (!opened) {
            tavrik_py::raise_runtime_error(opened.error());
            return nullptr;
        }
        auto* owner = new RunHandle(std::move(*opened));
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) {
            delete owner;
            return nullptr;
        }
        reinterpret_cast<RunObject*>(self)->run = owner;
        return self;
    });
}

// --- The module ------------------------------------------------------------------------------

int exec_module(PyObject* module) {
    struct Class {
        const char* name;
        PyTypeObject* (*type)();
    };
    for (const Class& c : {Class{"Run", run_type}, Class{"Table", table_type}, Class{"PointArray", point_array_type}}) {
        PyTypeObject* type = c.type();
        if (!type || PyModule_AddObjectRef(module, c.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    }
    PyObject* all = Py_BuildValue("[ssss]", "open", "Run", "Table", "PointArray");
    if (!all) return -1;
    const int added = PyModule_AddObjectRef(module, "__all__", all);
    Py_DECREF(all);
    return added;
}

PyMethodDef functions[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open)), METH_FASTCALL | METH_KEYWORDS,
     "open($module, path, *, centroid=False, centroid_min_intensity=0.0)\n--\n\n"
     "Opens and decodes the raw file at `path` whole; with centroid=True, profile spectra as their\n"
     "centroids (as tavrik-convert --centroid), peaks lower than centroid_min_intensity left out."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil  // 3.13 and later
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tavrik_tables", "Every scan of a raw file as arrays, and the run as Arrow tables.", 0,
    functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tavrik_tables

PyMODINIT_FUNC PyInit_tavrik_tables(void) { return PyModuleDef_Init(&tavrik_tables::definition); }
