// What both extensions use of CPython's C API that older versions name otherwise or lack,
// given on those versions only: the code is written for the newest, and the build for 3.13
// sees exactly CPython's own.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 the member types have their old names, from structmember.h.
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.13's PyType_GetFullyQualifiedName: "module.qualname", without the module for builtins
// and __main__, and tp_name for a static type.
inline PyObject* PyType_GetFullyQualifiedName(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return PyUnicode_FromString(type->tp_name);
    auto* object = reinterpret_cast<PyObject*>(type);
    PyObject* qualname = PyObject_GetAttrString(object, "__qualname__");
    PyObject* module = qualname == nullptr ? nullptr : PyObject_GetAttrString(object, "__module__");
    PyObject* name = nullptr;
    if (module != nullptr) {
        bool plain = !PyUnicode_Check(module) ||
                     PyUnicode_CompareWithASCIIString(module, "builtins") == 0 ||
                     PyUnicode_CompareWithASCIIString(module, "__main__") == 0;
        name = plain ? Py_NewRef(qualname) : PyUnicode_FromFormat("%U.%U", module, qualname);
    }
    Py_XDECREF(module);
    Py_XDECREF(qualname);
    return name;
}
#endif
