"""Run by the Windows interpreter with the folder of abi_check.pyd as argument: the
extension's idea of CPython's object layout and type sizes against the interpreter's own."""

import ctypes
import sys

sys.path.insert(0, sys.argv[1])
import abi_check  # noqa: E402

expected = {
    "object": object.__basicsize__,
    "tuple": tuple.__basicsize__,
    "float": float.__basicsize__,
    "heap_type": type.__basicsize__,
    "ssize_t": ctypes.sizeof(ctypes.c_ssize_t),
    "long": ctypes.sizeof(ctypes.c_long),
    "wchar_t": ctypes.sizeof(ctypes.c_wchar),
    "maxsize": sys.maxsize,
}
built = abi_check.layout()
wrong = {key: (built[key], value) for key, value in expected.items() if built[key] != value}
if wrong:
    sys.exit(f"pyconfig.h does not match this interpreter (built, actual): {wrong}")
print("pyconfig.h matches the interpreter:", ", ".join(f"{k}={v}" for k, v in built.items()))
