// The Python module: class Ring over ShmRing. Argument conversion and errors are
// pybind11's; the views are memoryviews whose exporter keeps the Ring (and so the
// mapping) alive for as long as any view, slice or NumPy array made from it exists.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include <quorvane/shm_ring.hpp>

#include "python_compat.hpp"
#include "system_cause.hpp"
#include "unlocked.hpp"

namespace py = pybind11;
using quorvane::ShmRing;
using quorvane::ViewGeometry;

namespace {

// The object behind a view's buffer. Not reachable as a module attribute; a view's `obj`
// shows it, so its buffer answers every kind of request correctly.
struct RingBuffer {
    PyObject_HEAD
    PyObject* ring;  // strong reference: the mapping outlives every view
    const std::byte* first;
    int ndim;
    Py_ssize_t length;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};

int ring_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* exporter = reinterpret_cast<RingBuffer*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "ring views are read-only");
        view->obj = nullptr;
        return -1;
    }
    view->buf = const_cast<std::byte*>(exporter->first);
    view->len = exporter->length;
    view->readonly = 1;
    view->itemsize = ShmRing::item_bytes;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("f") : nullptr;
    view->ndim = exporter->ndim;
    view->shape = exporter->shape;
    view->strides = exporter->strides;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    // A consumer that cannot take strides (or asks for a layout) gets the buffer only
    // where its bytes really are laid out that way.
    const bool wants_strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    const bool refused =
        (!wants_strides && !PyBuffer_IsContiguous(view, 'C')) ||
        ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !PyBuffer_IsContiguous(view, 'C')) ||
        ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(view, 'F')) ||
        ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS &&
         !PyBuffer_IsContiguous(view, 'A'));
    if (refused) {
        PyErr_SetString(PyExc_BufferError, "ring view is not contiguous");
        view->obj = nullptr;
        return -1;
    }
    if (!wants_strides) view->strides = nullptr;
    if ((flags & PyBUF_ND) != PyBUF_ND) {
        view->ndim = 1;
        view->shape = nullptr;
    }
    view->obj = Py_NewRef(self);
    return 0;
}

void ring_buffer_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<RingBuffer*>(self)->ring);
    PyObject_Free(self);
}

// A static type, made ready once per process: legacy sub-interpreters (which embedding
// hosts use) run the module body again, and a type owned by one interpreter must not back
// another's views. Its instances hold no reference to it.
PyBufferProcs ring_buffer_procs = {ring_buffer_get, nullptr};

PyTypeObject make_ring_buffer_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "quorvane.RingBuffer";
    type.tp_basicsize = sizeof(RingBuffer);
    type.tp_dealloc = ring_buffer_dealloc;
    type.tp_as_buffer = &ring_buffer_procs;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    return type;
}

PyTypeObject ring_buffer_type = make_ring_buffer_type();

// pybind11 makes a Ring without tp_new (it casts the ShmRing a factory returns), so tp_new
// serves only Ring(), refused with pybind11's own message for a class without constructor: a
// Ring made that way would have no ShmRing behind it. Ring.__new__(Ring) never gets here:
// the __new__ it finds is the base's, which CPython refuses as "not safe" for this type.
PyObject* refuse_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    PyObject* name = PyType_GetFullyQualifiedName(type);
    if (name != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U: No constructor defined!", name);
        Py_DECREF(name);
    }
    return nullptr;
}

py::memoryview make_view(const ShmRing& ring, const ViewGeometry& geometry) {
    // The Ring that owns `ring`: pybind11 maps the native object back to its Python one.
    py::object owner = py::cast(&ring, py::return_value_policy::reference);
    auto* exporter = PyObject_New(RingBuffer, &ring_buffer_type);
    if (exporter == nullptr) throw py::error_already_set();
    exporter->ring = owner.release().ptr();
    exporter->first = geometry.first;
    exporter->ndim = geometry.ndim;
    exporter->length = geometry.length;
    for (int i = 0; i < geometry.ndim; ++i) {
        exporter->shape[i] = geometry.shape[i];
        exporter->strides[i] = geometry.strides[i];
    }
    auto buffer = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(exporter));
    PyObject* view = PyMemoryView_FromObject(buffer.ptr());
    if (view == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::memoryview>(view);
}

}  // namespace

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12, pybind11's import in a sub-interpreter takes the interpreter lock through
// PyGILState, which knows only the main interpreter, and waits for ever: PyInit_quorvane
// (below) refuses a sub-interpreter before pybind11's own, renamed here, runs.
#define PyInit_quorvane quorvane_init_in_main_interpreter
#endif

PYBIND11_MODULE(quorvane, m) {
    if (!PyType_HasFeature(&ring_buffer_type, Py_TPFLAGS_READY) &&
        PyType_Ready(&ring_buffer_type) != 0) {
        throw py::error_already_set();
    }

    py::class_<ShmRing> ring(m, "Ring");
    reinterpret_cast<PyTypeObject*>(ring.ptr())->tp_new = refuse_new;
    // Through lambdas of the same signature: a failed system call becomes the cause.
    ring.def_static("create",
                    [](const std::string& name, std::uint64_t capacity, std::uint64_t frame_bytes) {
                        return quorvane_module::with_system_cause(
                            name, [&] { return ShmRing::create(name, capacity, frame_bytes); });
                    })
        .def_static("open",
                    [](const std::string& name, std::uint64_t capacity, std::uint64_t frame_bytes) {
                        return quorvane_module::with_system_cause(
                            name, [&] { return ShmRing::open(name, capacity, frame_bytes); });
                    })
        .def_readonly("frame_bytes", &ShmRing::frame_bytes)
        .def_readonly("capacity", &ShmRing::capacity)
        // Through a reference: a member pointer would take `self` as a pointer, which
        // pybind11 loads from None as null.
        .def_property_readonly("write_idx", [](const ShmRing& ring) { return ring.write_idx(); })
        .def("publish",
             [](ShmRing& ring, const py::array& arr) {
                 if ((arr.flags() & py::array::c_style) == 0) {
                     throw quorvane::RingError(quorvane::Failure::not_c_contiguous);
                 }
                 const std::uint64_t count =
                     ring.frames_in(static_cast<std::uint64_t>(arr.nbytes()));
                 const auto* src = static_cast<const std::byte*>(arr.data());
                 quorvane_module::unlocked([&] { ring.publish(src, count); });
             })
        .def("view_frame",
             [](const ShmRing& ring, std::uint64_t idx, std::int64_t rows, std::int64_t cols) {
                 return make_view(ring, ring.frame_view(idx, rows, cols));
             })
        .def("view_window", [](const ShmRing& ring, std::uint64_t start, std::uint64_t count,
                               std::int64_t rows, std::int64_t cols) {
            return make_view(ring, ring.window_view(start, count, rows, cols));
        });
}

#if PY_VERSION_HEX < 0x030C0000
#undef PyInit_quorvane
extern "C" PYBIND11_EXPORT PyObject* PyInit_quorvane() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "quorvane: a sub-interpreter needs Python 3.12 or later");
        return nullptr;
    }
    return quorvane_init_in_main_interpreter();
}
#endif
