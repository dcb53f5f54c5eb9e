// The native half of quorvane_reader: the hot path of handing out frames, and waiting
// without the interpreter lock, on the ShmRing behind a quorvane.Ring (pybind11 shares
// the type between the two modules, so no second handle or mapping is made).
//
// Cursor and Frame are plain C-API types, not pybind11 classes: at full speed a reader
// hands out a frame every few hundred nanoseconds, and pybind11's call dispatch and
// instance creation would take most of that. Static types, like the view exporter's, so
// that a legacy sub-interpreter never owns them.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#elif defined(_M_ARM64)
#include <intrin.h>
#endif

#include <quorvane/shm_ring.hpp>

namespace py = pybind11;
using quorvane::ShmRing;

namespace {

// Tells the core it is in a spin-wait: saves power, and lets a hyperthread sibling run.
#if defined(__x86_64__) || defined(_M_X64)
inline void cpu_relax() {
    _mm_pause();
}
#elif defined(_M_ARM64)
inline void cpu_relax() {
    __yield();
}
#elif defined(__aarch64__)
inline void cpu_relax() {
    asm volatile("yield");
}
#else
inline void cpu_relax() {}
#endif

// Where a reader stands in a ring: the next frame to hand out, and the newest write_idx
// seen, by which a producer's restart (the index going down) shows.
struct Cursor {
    PyObject_HEAD
    PyObject* ring;  // the quorvane.Ring: keeps `shm` alive
    const ShmRing* shm;
    PyObject* slots;  // an array with one row per slot, made once over the whole ring
    std::uint64_t capacity;
    std::uint64_t next;
    std::uint64_t index;
    std::uint64_t missed;    // frames overwritten before they were handed out
    std::uint64_t restarts;  // times the index went down
};

struct Frame {
    PyObject_HEAD
    PyObject* array;
    Cursor* cursor;
    std::uint64_t seq;
    std::uint64_t index;  // write_idx when it was handed out
};

PyObject* frame_intact(PyObject* self, PyObject* /*unused*/) {
    const auto* frame = reinterpret_cast<Frame*>(self);
    const std::uint64_t w = frame->cursor->shm->write_idx();
    return PyBool_FromLong(frame->index <= w && w < frame->seq + frame->cursor->capacity);
}

PyObject* frame_repr(PyObject* self) {
    const auto* frame = reinterpret_cast<Frame*>(self);
    return PyUnicode_FromFormat("<quorvane_reader.Frame seq=%llu>",
                                static_cast<unsigned long long>(frame->seq));
}

void frame_dealloc(PyObject* self) {
    auto* frame = reinterpret_cast<Frame*>(self);
    Py_XDECREF(frame->array);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame->cursor));
    PyObject_Free(self);
}

PyMethodDef frame_methods[] = {
    {"intact", frame_intact, METH_NOARGS,
     "True if the slot still held this frame, unchanged, until now. Call it after reading "
     "`array` (or computing from it); if it is False, what you read may mix this frame with "
     "a later one: drop it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef frame_members[] = {
    {"seq", Py_T_ULONGLONG, offsetof(Frame, seq), Py_READONLY,
     "The frame's number since the producer's create."},
    {"array", Py_T_OBJECT_EX, offsetof(Frame, array), Py_READONLY,
     "A read-only float32 rows x cols array on the slot itself (no copy)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject frame_type = [] {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "quorvane_reader.Frame";
    type.tp_doc = "A frame handed out by a Reader: `seq`, `array` and `intact()`.";
    type.tp_basicsize = sizeof(Frame);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_dealloc = frame_dealloc;
    type.tp_repr = frame_repr;
    type.tp_methods = frame_methods;
    type.tp_members = frame_members;
    return type;
}();

PyObject* make_frame(Cursor* cursor, std::uint64_t seq, std::uint64_t index) {
    PyObject* array =
        PySequence_GetItem(cursor->slots, static_cast<Py_ssize_t>(seq % cursor->capacity));
    if (array == nullptr) return nullptr;
    auto* frame = PyObject_New(Frame, &frame_type);
    if (frame == nullptr) {
        Py_DECREF(array);
        return nullptr;
    }
    frame->array = array;
    frame->cursor = reinterpret_cast<Cursor*>(Py_NewRef(reinterpret_cast<PyObject*>(cursor)));
    frame->seq = seq;
    frame->index = index;
    return reinterpret_cast<PyObject*>(frame);
}

// Takes note of write_idx `w`; a smaller one than before means a new producer, which
// counts from 0 again.
void see(Cursor* cursor, std::uint64_t w) {
    if (w < cursor->index) {
        ++cursor->restarts;
        cursor->next = 0;
    }
    cursor->index = w;
}

PyObject* cursor_take(PyObject* self, PyObject* /*unused*/) {
    auto* cursor = reinterpret_cast<Cursor*>(self);
    const std::uint64_t w = cursor->shm->write_idx();
    see(cursor, w);
    if (cursor->next >= w) Py_RETURN_NONE;
    // Frame w - capacity may be under the writer right now: it counts as gone.
    const std::uint64_t oldest = w >= cursor->capacity ? w - cursor->capacity + 1 : 0;
    if (cursor->next < oldest) {
        cursor->missed += oldest - cursor->next;
        cursor->next = oldest;
    }
    return make_frame(cursor, cursor->next++, w);
}

PyObject* cursor_latest(PyObject* self, PyObject* /*unused*/) {
    auto* cursor = reinterpret_cast<Cursor*>(self);
    const std::uint64_t w = cursor->shm->write_idx();
    see(cursor, w);
    if (w == 0) Py_RETURN_NONE;
    cursor->next = w;
    return make_frame(cursor, w - 1, w);
}

PyObject* cursor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"ring", "slots", "first", nullptr};
    PyObject* ring = nullptr;
    PyObject* slots = nullptr;
    unsigned long long first = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOK", const_cast<char**>(keywords), &ring,
                                    &slots, &first) == 0) {
        return nullptr;
    }
    const ShmRing* shm = nullptr;
    try {
        shm = py::handle(ring).cast<const ShmRing*>();
    } catch (const py::cast_error&) {
        PyErr_SetString(PyExc_TypeError, "ring must be a quorvane.Ring");
        return nullptr;
    }
    auto* cursor = reinterpret_cast<Cursor*>(type->tp_alloc(type, 0));
    if (cursor == nullptr) return nullptr;
    cursor->ring = Py_NewRef(ring);
    cursor->shm = shm;
    cursor->slots = Py_NewRef(slots);
    cursor->capacity = shm->capacity;
    cursor->next = first;
    cursor->index = shm->write_idx();
    return reinterpret_cast<PyObject*>(cursor);
}

void cursor_dealloc(PyObject* self) {
    auto* cursor = reinterpret_cast<Cursor*>(self);
    Py_XDECREF(cursor->ring);
    Py_XDECREF(cursor->slots);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef cursor_methods[] = {
    {"take", cursor_take, METH_NOARGS,
     "The next frame in order, skipping (and counting) overwritten ones; None if there is "
     "none yet."},
    {"latest", cursor_latest, METH_NOARGS,
     "The newest frame; None if nothing was published. take() continues after it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef cursor_members[] = {
    {"next", Py_T_ULONGLONG, offsetof(Cursor, next), Py_READONLY, "The next frame to hand out."},
    {"index", Py_T_ULONGLONG, offsetof(Cursor, index), Py_READONLY, "The newest write_idx seen."},
    {"missed", Py_T_ULONGLONG, offsetof(Cursor, missed), Py_READONLY,
     "Frames overwritten before they were handed out."},
    {"restarts", Py_T_ULONGLONG, offsetof(Cursor, restarts), Py_READONLY,
     "Times write_idx went down: a new producer."},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject cursor_type = [] {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "quorvane_reader._native.Cursor";
    type.tp_doc = "Where a reader stands in a ring: Cursor(ring, slots, first).";
    type.tp_basicsize = sizeof(Cursor);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_new = cursor_new;
    type.tp_dealloc = cursor_dealloc;
    type.tp_methods = cursor_methods;
    type.tp_members = cursor_members;
    return type;
}();

void ready(PyTypeObject& type) {
    if (!PyType_HasFeature(&type, Py_TPFLAGS_READY) && PyType_Ready(&type) != 0) {
        throw py::error_already_set();
    }
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    py::module_::import("quorvane");  // registers the Ring type these functions take

    ready(frame_type);
    ready(cursor_type);
    m.add_object("Frame", reinterpret_cast<PyObject*>(&frame_type));
    m.add_object("Cursor", reinterpret_cast<PyObject*>(&cursor_type));

    m.def(
        "header",
        [](const ShmRing& ring) {
            const auto h = ring.read_header();
            return py::make_tuple(h.write_idx, h.capacity, h.frame_bytes);
        },
        py::arg("ring"));

    // Polls write_idx until it differs from `seen` or `nanoseconds` have passed, without
    // the interpreter lock; returns the last value read.
    m.def(
        "spin",
        [](const ShmRing& ring, std::uint64_t seen, std::int64_t nanoseconds) {
            const py::gil_scoped_release unlocked;
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::nanoseconds(nanoseconds);
            std::uint64_t w = ring.write_idx();
            while (w == seen && std::chrono::steady_clock::now() < until) {
                cpu_relax();
                w = ring.write_idx();
            }
            return w;
        },
        py::arg("ring"), py::arg("seen"), py::arg("nanoseconds"));
}
