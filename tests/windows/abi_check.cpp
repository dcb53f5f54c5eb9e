// Built with the compiler and the CPython headers the extensions are built with, and loaded
// by the Windows interpreter (abi_check.py): the layout CPython's headers get from our
// pyconfig.h must be the one python313.dll was built with, or every extension misreads objects.
#include <Python.h>

#include <cwchar>

// The sizes pyconfig.h states must be the compiler's own.
static_assert(SIZEOF_INT == sizeof(int) && SIZEOF_LONG == sizeof(long) &&
              SIZEOF_LONG_LONG == sizeof(long long));
static_assert(SIZEOF_VOID_P == sizeof(void*) && SIZEOF_SIZE_T == sizeof(size_t) &&
              SIZEOF_WCHAR_T == sizeof(wchar_t));
static_assert(SIZEOF_TIME_T == sizeof(time_t) && SIZEOF_SHORT == sizeof(short) &&
              SIZEOF_DOUBLE == sizeof(double));

static PyObject* layout(PyObject*, PyObject*) {
    return Py_BuildValue(
        "{s:n,s:n,s:n,s:n,s:n,s:n,s:n,s:n}", "object", Py_ssize_t{sizeof(PyObject)}, "tuple",
        Py_ssize_t{sizeof(PyTupleObject) - sizeof(PyObject*)}, "float",
        Py_ssize_t{sizeof(PyFloatObject)}, "heap_type", Py_ssize_t{sizeof(PyHeapTypeObject)},
        "ssize_t", Py_ssize_t{sizeof(Py_ssize_t)}, "long", Py_ssize_t{sizeof(long)}, "wchar_t",
        Py_ssize_t{sizeof(wchar_t)}, "maxsize", PY_SSIZE_T_MAX);
}

static PyMethodDef methods[] = {{"layout", layout, METH_NOARGS, nullptr},
                                {nullptr, nullptr, 0, nullptr}};
static PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "abi_check", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_abi_check() {
    return PyModule_Create(&definition);
}
