// The native half of quorvane_reader: the core's attach, and its reader cursor over the
// ShmRing behind a quorvane.Ring (pybind11 shares the type between the two modules, and both
// link the one core library), handing out frames as arrays and waiting without the
// interpreter lock.
//
// Cursor and Frame are plain C-API types, not pybind11 classes: at full speed a reader
// hands out a frame every few hundred nanoseconds, and pybind11's call dispatch and
// instance creation would take most of that. Static types, like the view exporter's, so
// that a legacy sub-interpreter never owns them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <quorvane/cursor.hpp>
#include <quorvane/shm_ring.hpp>

#include "../quorvane/python_compat.hpp"
#include "../quorvane/system_cause.hpp"
#include "../quorvane/unlocked.hpp"

namespace py = pybind11;
using quorvane::ShmRing;
using quorvane_module::unlocked;

namespace {

// Waiting for a frame returns to the interpreter this often, for its signal handlers
// (Ctrl-C). On Linux a signal also ends the wait at once (the rare one that comes just
// before it begins waits for this); Windows' console Ctrl-C does not.
#if defined(_WIN32)
constexpr std::int64_t signal_check_ns = 50'000'000;
#else
constexpr std::int64_t signal_check_ns = 250'000'000;
#endif

struct Cursor {
    PyObject_HEAD
    PyObject* ring;                  // the quorvane.Ring: keeps the mapping alive
    PyObject* label;                 // how errors name the ring
    PyObject* slots;                 // one array per slot of the current geometry (and type)
    PyObject* on_missed;             // called once, with the count, when frames are first missed
    std::uint64_t slots_generation;  // the core's geometry_changes() they were made for
    std::uint64_t slots_ring_generation;  // the ring's generation, likewise (typed)
    quorvane::Geometry slots_geometry;
    // Untyped: float32 rows x cols. Typed: what the producer declared, followed across
    // restarts.
    bool typed;
    std::int64_t rows;
    std::int64_t cols;
    std::optional<quorvane::Cursor> core;
    // Calls from several threads take turns: next() changes the cursor while it waits
    // without the interpreter lock.
    std::mutex turn;
};

// Takes the cursor's turn, letting other threads run while it waits for it.
std::unique_lock<std::mutex> take_turn(Cursor* cursor) {
    std::unique_lock turn(cursor->turn, std::try_to_lock);
    if (!turn.owns_lock()) unlocked([&] { turn.lock(); });
    return turn;
}

struct Frame {
    PyObject_HEAD
    PyObject* array;
    Cursor* cursor;
    quorvane::Cursor::Frame core;
};

PyObject* frame_intact(PyObject* self, PyObject* /*unused*/) {
    const auto* frame = reinterpret_cast<Frame*>(self);
    return PyBool_FromLong(frame->cursor->core->intact(frame->core));
}

PyObject* frame_repr(PyObject* self) {
    const auto* frame = reinterpret_cast<Frame*>(self);
    return PyUnicode_FromFormat("<quorvane_reader.Frame seq=%llu>",
                                static_cast<unsigned long long>(frame->core.seq));
}

void frame_dealloc(PyObject* self) {
    auto* frame = reinterpret_cast<Frame*>(self);
    Py_XDECREF(frame->array);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame->cursor));
    PyObject_Free(self);
}

PyObject* frame_seq(PyObject* self, void* /*unused*/) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<Frame*>(self)->core.seq);
}

PyObject* frame_timestamp(PyObject* self, void* /*unused*/) {
    return PyLong_FromLongLong(reinterpret_cast<Frame*>(self)->core.stamp.timestamp_ns);
}

PyObject* frame_user(PyObject* self, void* /*unused*/) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<Frame*>(self)->core.stamp.user);
}

PyMethodDef frame_methods[] = {
    {"intact", frame_intact, METH_NOARGS,
     "True if the slot still held this frame, unchanged, until now. Call it after reading "
     "`array` (or computing from it); if it is False, what you read may mix this frame with "
     "another one: drop it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef frame_members[] = {
    {"array", Py_T_OBJECT_EX, offsetof(Frame, array), Py_READONLY,
     "A read-only array on the slot itself (no copy): of the ring's dtype and shape, or "
     "float32 rows x cols on an untyped ring."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef frame_getset[] = {
    {"seq", frame_seq, nullptr, "The frame's number since the producer's create.", nullptr},
    {"timestamp_ns", frame_timestamp, nullptr,
     "The producer's timestamp of the frame (nanoseconds since the epoch unless it chose "
     "otherwise); 0 where it gave none (an untyped producer). Covered by intact().",
     nullptr},
    {"user", frame_user, nullptr,
     "The producer's own 64-bit word for the frame; 0 where it gave none. Covered by "
     "intact().",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject frame_type = [] {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "quorvane_reader.Frame";
    type.tp_doc =
        "A frame handed out by a Reader: `seq`, `array`, `timestamp_ns`, `user` and `intact()`.";
    type.tp_basicsize = sizeof(Frame);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_dealloc = frame_dealloc;
    type.tp_repr = frame_repr;
    type.tp_methods = frame_methods;
    type.tp_members = frame_members;
    type.tp_getset = frame_getset;
    return type;
}();

PyObject* raise_value_error(const Cursor* cursor, const char* message) {
    PyErr_Format(PyExc_ValueError, "%U: %s", cursor->label, message);
    return nullptr;
}

// What the producer declared, as a NumPy dtype and shape; an error set if the ring
// holds none (made again untyped).
std::optional<std::pair<py::dtype, py::tuple>> declared_type(const Cursor* cursor,
                                                             const ShmRing& shm) {
    const auto type = shm.frame_type();
    if (!type) {
        raise_value_error(cursor, "the producer made the ring again without a frame type");
        return std::nullopt;
    }
    py::tuple shape(type->ndim);
    for (std::uint32_t i = 0; i < type->ndim; ++i) shape[i] = type->shape[i];
    return std::pair{py::dtype(std::string(type->typestr.data())), shape};
}

// Makes the slot arrays for the geometry (and type) the core follows, once per change: one
// array over the whole ring, with the Ring as its base so the mapping outlives every frame.
bool refresh_slots(Cursor* cursor) {
    const quorvane::Geometry g = cursor->core->geometry();
    const auto& shm = py::handle(cursor->ring).cast<const ShmRing&>();
    const std::uint64_t ring_generation = shm.generation();
    try {
        py::dtype dtype("float32");
        py::tuple shape = py::make_tuple(cursor->rows, cursor->cols);
        if (cursor->typed) {
            auto declared = declared_type(cursor, shm);
            if (!declared) return false;
            std::tie(dtype, shape) = std::move(*declared);
        }
        std::vector<py::ssize_t> dims{static_cast<py::ssize_t>(g.capacity)};
        for (const auto dim : shape) dims.push_back(dim.cast<py::ssize_t>());
        std::vector<py::ssize_t> strides(dims.size());
        py::ssize_t bytes = dtype.itemsize();
        for (std::size_t i = dims.size() - 1; i > 0; --i) {
            strides[i] = bytes;
            bytes *= dims[i];
        }
        strides[0] = static_cast<py::ssize_t>(g.frame_bytes);
        if (static_cast<std::uint64_t>(bytes) > g.frame_bytes) {
            const std::string what =
                cursor->typed ? py::str("{} values of {}").format(shape, dtype).cast<std::string>()
                              : std::to_string(cursor->rows) + " x " +
                                    std::to_string(cursor->cols) + " float32 values";
            char message[320];
            std::snprintf(message, sizeof message,
                          "the producer made it again with capacity %llu and frame_bytes %llu "
                          "(was capacity %llu and frame_bytes %llu): %s do not fit its frames",
                          static_cast<unsigned long long>(g.capacity),
                          static_cast<unsigned long long>(g.frame_bytes),
                          static_cast<unsigned long long>(cursor->slots_geometry.capacity),
                          static_cast<unsigned long long>(cursor->slots_geometry.frame_bytes),
                          what.c_str());
            raise_value_error(cursor, message);
            return false;
        }
        auto slots = py::array(dtype, dims, strides, shm.data, py::handle(cursor->ring));
        slots.attr("setflags")(py::arg("write") = false);
        Py_XSETREF(cursor->slots, slots.release().ptr());
    } catch (py::error_already_set& error) {
        error.restore();
        return false;
    }
    cursor->slots_generation = cursor->core->geometry_changes();
    cursor->slots_ring_generation = ring_generation;
    cursor->slots_geometry = g;
    return true;
}

PyObject* make_frame(Cursor* cursor, const quorvane::Cursor::Frame& core) {
    const bool stale = cursor->slots_generation != cursor->core->geometry_changes() ||
                       (cursor->typed && cursor->slots_ring_generation != core.generation);
    if (stale && !refresh_slots(cursor)) return nullptr;
    PyObject* array = PySequence_GetItem(
        cursor->slots, static_cast<Py_ssize_t>(core.seq % core.geometry.capacity));
    if (array == nullptr) return nullptr;
    auto* frame = PyObject_New(Frame, &frame_type);
    if (frame == nullptr) {
        Py_DECREF(array);
        return nullptr;
    }
    frame->array = array;
    frame->cursor = reinterpret_cast<Cursor*>(Py_NewRef(reinterpret_cast<PyObject*>(cursor)));
    frame->core = core;
    return reinterpret_cast<PyObject*>(frame);
}

// Calls a cursor operation that hands out a frame or none: a Frame, None, or an error.
template <typename Operation>
PyObject* hand_out(Cursor* cursor, Operation operation) {
    std::optional<quorvane::Cursor::Frame> taken;
    try {
        taken = operation(*cursor->core);
    } catch (const quorvane::GeometryError& error) {
        return raise_value_error(cursor, error.what());
    }
    if (cursor->on_missed != Py_None && cursor->core->missed() != 0) {
        PyObject* told = PyObject_CallFunction(
            cursor->on_missed, "K", static_cast<unsigned long long>(cursor->core->missed()));
        Py_SETREF(cursor->on_missed, Py_NewRef(Py_None));
        if (told == nullptr) return nullptr;
        Py_DECREF(told);
    }
    if (!taken) Py_RETURN_NONE;
    return make_frame(cursor, *taken);
}

PyObject* cursor_take(PyObject* self, PyObject* /*unused*/) {
    auto* cursor = reinterpret_cast<Cursor*>(self);
    const auto turn = take_turn(cursor);
    return hand_out(cursor, [](quorvane::Cursor& c) { return c.take(); });
}

PyObject* cursor_latest(PyObject* self, PyObject* /*unused*/) {
    auto* cursor = reinterpret_cast<Cursor*>(self);
    const auto turn = take_turn(cursor);
    return hand_out(cursor, [](quorvane::Cursor& c) { return c.latest(); });
}

// next(timeout=None): the next frame, waiting for it without the interpreter lock.
PyObject* cursor_next(PyObject* self, PyObject* args) {
    auto* cursor = reinterpret_cast<Cursor*>(self);
    PyObject* timeout = Py_None;
    if (PyArg_ParseTuple(args, "|O", &timeout) == 0) return nullptr;
    std::int64_t deadline = std::numeric_limits<std::int64_t>::max();
    double seconds = 0;
    if (timeout != Py_None) {
        seconds = PyFloat_AsDouble(timeout);
        if (seconds == -1.0 && PyErr_Occurred() != nullptr) return nullptr;
        deadline = quorvane::now_ns() + static_cast<std::int64_t>(std::max(seconds, 0.0) * 1e9);
    }
    const auto turn = take_turn(cursor);
    while (true) {
        PyObject* frame = hand_out(cursor, [](quorvane::Cursor& c) { return c.take(); });
        if (frame != Py_None) return frame;
        Py_DECREF(frame);
        if (cursor->core->ended()) {
            PyErr_Format(PyExc_EOFError, "%U: the producer ended its stream", cursor->label);
            return nullptr;
        }
        const std::int64_t until = std::min(deadline, quorvane::now_ns() + signal_check_ns);
        const bool moved = unlocked([&] { return cursor->core->wait(until); });
        if (PyErr_CheckSignals() != 0) return nullptr;
        if (!moved && quorvane::now_ns() >= deadline) {
            const auto& shm = py::handle(cursor->ring).cast<const ShmRing&>();
            char message[160];
            std::snprintf(message, sizeof message, "no new frame within %g s%s", seconds,
                          shm.producer_alive() == false
                              ? ", and the producer is gone: it ended without ending its stream"
                              : "");
            PyErr_SetString(PyExc_TimeoutError, message);
            return nullptr;
        }
    }
}

PyObject* cursor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"ring",  "rows",      "cols", "start",
                                     "label", "on_missed", nullptr};
    // rows and cols None: a typed ring, read as its producer declared it.
    PyObject* ring = nullptr;
    PyObject* rows_given = nullptr;
    PyObject* cols_given = nullptr;
    int start = 0;
    PyObject* label = nullptr;
    PyObject* on_missed = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOOiU|O", const_cast<char**>(keywords), &ring,
                                    &rows_given, &cols_given, &start, &label, &on_missed) == 0) {
        return nullptr;
    }
    const bool typed = rows_given == Py_None && cols_given == Py_None;
    const long long rows = typed ? 0 : PyLong_AsLongLong(rows_given);
    const long long cols = typed ? 0 : PyLong_AsLongLong(cols_given);
    if (PyErr_Occurred() != nullptr) return nullptr;
    if (rows < 0 || cols < 0 || start < 0 || start > 2) {
        PyErr_SetString(PyExc_ValueError, "rows and cols must be non-negative; start 0, 1 or 2");
        return nullptr;
    }
    const ShmRing* shm = nullptr;
    try {
        shm = &py::handle(ring).cast<const ShmRing&>();  // a reference: None is refused
    } catch (const py::cast_error&) {
        PyErr_SetString(PyExc_TypeError, "ring must be a quorvane.Ring");
        return nullptr;
    } catch (const py::reference_cast_error&) {
        PyErr_SetString(PyExc_TypeError, "ring must be a quorvane.Ring");
        return nullptr;
    }
    auto* cursor = reinterpret_cast<Cursor*>(type->tp_alloc(type, 0));
    if (cursor == nullptr) return nullptr;
    new (&cursor->core) std::optional<quorvane::Cursor>();
    new (&cursor->turn) std::mutex();
    cursor->ring = Py_NewRef(ring);
    cursor->label = Py_NewRef(label);
    cursor->on_missed = Py_NewRef(on_missed);
    cursor->typed = typed;
    cursor->rows = rows;
    cursor->cols = cols;
    auto* result = reinterpret_cast<PyObject*>(cursor);
    try {
        cursor->core.emplace(*shm, static_cast<quorvane::Cursor::Start>(start));
    } catch (const std::runtime_error& error) {  // GeometryError, or one slot
        raise_value_error(cursor, error.what());
        Py_DECREF(result);
        return nullptr;
    }
    if (!refresh_slots(cursor)) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

void cursor_dealloc(PyObject* self) {
    auto* cursor = reinterpret_cast<Cursor*>(self);
    cursor->core.~optional();
    cursor->turn.~mutex();
    Py_XDECREF(cursor->ring);
    Py_XDECREF(cursor->label);
    Py_XDECREF(cursor->on_missed);
    Py_XDECREF(cursor->slots);
    Py_TYPE(self)->tp_free(self);
}

PyObject* cursor_missed(PyObject* self, void* /*unused*/) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<Cursor*>(self)->core->missed());
}

PyObject* cursor_restarts(PyObject* self, void* /*unused*/) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<Cursor*>(self)->core->restarts());
}

PyObject* cursor_next_seq(PyObject* self, void* /*unused*/) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<Cursor*>(self)->core->next());
}

// The frames' dtype and shape, from the slot arrays of the geometry (and type) followed.
PyObject* cursor_dtype(PyObject* self, void* /*unused*/) {
    return PyObject_GetAttrString(reinterpret_cast<Cursor*>(self)->slots, "dtype");
}

PyObject* cursor_shape(PyObject* self, void* /*unused*/) {
    PyObject* shape = PyObject_GetAttrString(reinterpret_cast<Cursor*>(self)->slots, "shape");
    if (shape == nullptr) return nullptr;
    PyObject* frame_shape = PyTuple_GetSlice(shape, 1, PyTuple_GET_SIZE(shape));
    Py_DECREF(shape);
    return frame_shape;
}

PyMethodDef cursor_methods[] = {
    {"take", cursor_take, METH_NOARGS,
     "The next frame in order, skipping (and counting) overwritten ones; None if there is "
     "none yet."},
    {"latest", cursor_latest, METH_NOARGS,
     "The newest frame; None if nothing was published. take() continues after it."},
    {"next", cursor_next, METH_VARARGS,
     "next(timeout=None): the next frame in order, waiting for it without the interpreter "
     "lock; TimeoutError if none comes within `timeout` seconds."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cursor_getset[] = {
    {"missed", cursor_missed, nullptr, "Frames overwritten before they were handed out.", nullptr},
    {"restarts", cursor_restarts, nullptr, "Times a new producer made the ring again.", nullptr},
    {"next_seq", cursor_next_seq, nullptr, "The number of the next frame to hand out.", nullptr},
    {"dtype", cursor_dtype, nullptr, "The dtype of the frames' arrays.", nullptr},
    {"shape", cursor_shape, nullptr, "The shape of the frames' arrays.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject cursor_type = [] {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "quorvane_reader._native.Cursor";
    type.tp_doc =
        "Where a reader stands in a ring: Cursor(ring, rows, cols, start, label, on_missed=None), "
        "rows and cols None for a typed ring, start 0 (next), 1 (newest) or 2 (oldest); label "
        "names the ring in errors; on_missed is "
        "called once, with the count, when frames are first missed.";
    type.tp_basicsize = sizeof(Cursor);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_new = cursor_new;
    type.tp_dealloc = cursor_dealloc;
    type.tp_methods = cursor_methods;
    type.tp_getset = cursor_getset;
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

    // The ring's failure texts by name, from the core's one table: what the companions
    // compare a RuntimeError's text with.
    py::dict failures;
    for (const auto& [failure, text] : quorvane::failure_texts) {
        failures[py::str(std::string(failure))] = py::str(std::string(text));
    }
    m.attr("FAILURES") = failures;
    // What the core appends to a ring's name to name its companion.
    m.attr("COMPANION_SUFFIX") = quorvane::companion_suffix;

    // The core's attach: the same refusals and waiting as the C interface's. Raises
    // RuntimeError with the core's text; the package's attach words it for Python.
    m.def(
        "attach",
        [](const std::string& name, double timeout) {
            // Past what nanoseconds hold, for ever.
            const std::int64_t span =
                timeout >= 9e9 ? -1 : static_cast<std::int64_t>(timeout * 1e9);
            const auto signalled = [](void* /*context*/) {
                const PyGILState_STATE state = PyGILState_Ensure();
                const bool raised = PyErr_CheckSignals() != 0;
                PyGILState_Release(state);
                return raised;
            };
            try {
                return quorvane_module::with_system_cause(name, [&] {
                    return unlocked([&] { return ShmRing::attach(name, span, signalled); });
                });
            } catch (const quorvane::Interrupted&) {
                throw py::error_already_set();  // the signal handler's exception
            }
        },
        py::arg("name"), py::arg("timeout"));

    // The typed producer's calls; the package's Producer checks the arrays it is given.
    m.def(
        "create_typed",
        [](const std::string& name, std::uint64_t capacity, const std::string& typestr,
           const std::vector<std::uint64_t>& shape) {
            const auto type = quorvane::FrameType::of(typestr, shape.data(), shape.size());
            return unlocked([&] { return ShmRing::create(name, capacity, type); });
        },
        py::arg("name"), py::arg("capacity"), py::arg("typestr"), py::arg("shape"));
    m.def(
        "frame_type",
        [](const ShmRing& ring) -> std::optional<py::tuple> {
            const auto type = ring.frame_type();
            if (!type) return std::nullopt;
            py::tuple shape(type->ndim);
            for (std::uint32_t i = 0; i < type->ndim; ++i) shape[i] = type->shape[i];
            return py::make_tuple(std::string(type->typestr.data()), shape);
        },
        py::arg("ring"));
    m.def(
        "publish_stamped",
        [](ShmRing& ring, const py::array& frame, std::optional<std::int64_t> timestamp_ns,
           std::uint64_t user) {
            // A frame laid out otherwise is copied into order first, as NumPy would.
            const auto ordered = py::array::ensure(frame, py::array::c_style);
            if (!ordered) throw py::error_already_set();
            if (static_cast<std::uint64_t>(ordered.nbytes()) != ring.frame_bytes) {
                throw quorvane::RingError(quorvane::Failure::not_whole_frames);
            }
            const quorvane::Stamp stamp{
                timestamp_ns.value_or(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count()),
                user};
            const auto* src = static_cast<const std::byte*>(ordered.data());
            return unlocked([&] {
                ring.publish(src, 1, &stamp);
                return ring.write_idx() - 1;
            });
        },
        py::arg("ring"), py::arg("frame"), py::arg("timestamp_ns"), py::arg("user"));
    m.def(
        "end_stream", [](ShmRing& ring) { ring.end_stream(); }, py::arg("ring"));
    m.def(
        "producer_alive", [](const ShmRing& ring) { return ring.producer_alive(); },
        py::arg("ring"));

    m.def(
        "is_held", [](const std::string& name) { return ShmRing::is_held(name); }, py::arg("name"));

    m.def(
        "header",
        [](const ShmRing& ring) {
            const auto h = ring.read_header();
            return py::make_tuple(h.write_idx, h.capacity, h.frame_bytes);
        },
        py::arg("ring"));
}
