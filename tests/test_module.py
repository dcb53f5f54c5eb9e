"""The Python surface: members, argument conversion and error translation."""

import importlib.util
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorvane
import quorvane_reader._native
from quorvane import Ring

from conftest import C_LIBRARY, NATIVE_EXAMPLES, OTHER_PYTHONS, run_in_child
import helpers


def test_module_holds_only_ring_with_members_in_order():
    own = [n for n in vars(quorvane) if not n.startswith("__")]
    assert own == ["Ring"]
    members = [n for n in vars(Ring) if not n.startswith("_")]  # pybind11 adds private ones
    assert members == ["create", "open", "frame_bytes", "capacity", "write_idx", "publish",
                       "view_frame", "view_window"]


def test_import_does_not_load_numpy():
    code = "import sys, quorvane; assert 'numpy' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_ring_has_no_constructor():
    with pytest.raises(TypeError, match=r"^quorvane\.Ring: No constructor defined!$"):
        Ring()
    with pytest.raises(TypeError):
        Ring.__new__(Ring)  # would be a Ring with no segment behind it
    with pytest.raises(TypeError, match="No constructor defined!"):
        type("Sub", (Ring,), {})()


# CPython's test helpers come with a full install, not with the embeddable distribution.
# Before 3.12 the import is refused there (pybind11's would hang), which leaves the main
# interpreter's ring alone too.
@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi")
def test_a_legacy_sub_interpreter_leaves_the_main_interpreters_views_alone(name):
    refused = sys.version_info < (3, 12)
    code = f"""if True:
        import _testcapi, quorvane
        ring = quorvane.Ring.create({name!r}, 2, 16)
        before = type(ring.view_frame(0, 1, 4).obj)
        # 0: it ran the module body again; -1: it raised
        assert _testcapi.run_in_subinterp("import quorvane") == {-1 if refused else 0}
        assert type(ring.view_frame(0, 1, 4).obj) is before
        """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert ("ImportError: quorvane: a sub-interpreter needs Python 3.12 or later" in
            done.stderr) == refused, done.stderr


# A build is for one interpreter version: every other version refuses it with ImportError
# (the loader, or pybind11's own check), also under a file name that every version looks for.
@pytest.mark.skipif(not OTHER_PYTHONS, reason="needs the other versions' venvs, which make "
                    "test gives it (QUORVANE_PYTHONS)")
def test_a_build_is_refused_by_every_other_python_version(tmp_path):
    pythons = {"%d.%d" % sys.version_info[:2]: sys.executable, **OTHER_PYTHONS}
    for built, python in pythons.items():
        module = Path(subprocess.run([python, "-c", "import quorvane; print(quorvane.__file__)"],
                                     capture_output=True, text=True, check=True).stdout.strip())
        folder = tmp_path / built
        folder.mkdir()
        shutil.copy(module, folder / "quorvane.so")
        shutil.copytree(module.parent / "quorvane.libs", folder / "quorvane.libs")
        for version, other in pythons.items():
            done = subprocess.run([other, "-c", "import quorvane"], cwd=folder,
                                  capture_output=True, text=True, timeout=60)
            if version == built:
                assert done.returncode == 0, done.stderr
            else:
                assert done.returncode == 1 and re.match(
                    "ImportError: ", done.stderr.splitlines()[-1]), (built, version, done.stderr)


@pytest.mark.parametrize("sizes", [(-1, 16), (4.0, 16), (4, 2**64), ("4", 16), (4,)])
def test_bad_factory_arguments_raise_type_error_and_create_nothing(sizes, name):
    for factory in (Ring.create, Ring.open):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            factory(name, *sizes)
        with pytest.raises(TypeError):
            factory(None, 4, 16)


def test_keyword_arguments_are_refused(name):
    with pytest.raises(TypeError):
        Ring.create(name=name, capacity=4, frame_bytes=16)


@pytest.mark.parametrize("encode", [str.encode, lambda s: bytearray(s.encode())])
def test_bytes_names_name_the_same_segment(encode, name):
    ring = Ring.create(encode(name), 4, 16)
    other = Ring.open(name, 4, 16)
    ring.publish(np.ones(4, np.float32))
    assert other.write_idx == 1


def test_integers_from_numbers_that_are_not_floats(name):
    ring = Ring.create(name, np.uint8(4), True)
    assert (ring.capacity, ring.frame_bytes) == (4, 1)
    assert Ring.open(name, np.float32(2.9), 1).capacity == 2  # truncated like int()


def test_properties_are_read_only(name):
    ring = Ring.create(name, 4, 16)
    for attribute in ("capacity", "frame_bytes", "write_idx"):
        with pytest.raises(AttributeError):
            setattr(ring, attribute, 3)
    with pytest.raises(AttributeError):
        ring.anything = 1


def test_method_argument_conversion(name):
    ring = Ring.create(name, 4, 16)
    with pytest.raises(TypeError):
        ring.publish([1.0, 2.0])
    with pytest.raises(TypeError):
        ring.publish(memoryview(b"x" * 16))
    with pytest.raises(TypeError):
        ring.view_frame(-1, 1, 2)
    with pytest.raises(TypeError):
        ring.view_window(0, -1, 1, 2)
    with pytest.raises(RuntimeError, match="rows and cols must be non-negative"):
        ring.view_frame(0, -1, 2)


def test_members_called_on_none_raise_type_error(spawn):
    assert run_in_child(spawn, helpers.call_members_on_none) == 0


def test_ring_errors_are_runtime_errors_with_their_message(name):
    with pytest.raises(RuntimeError, match="^OpenFileMapping failed$"):  # a missing name
        Ring.open(name, 4, 16)


def test_handles_on_one_name_are_independent(name):
    first = Ring.create(name, 4, 16)
    second = Ring.open(name, 4, 16)
    assert first is not second
    del first
    second.publish(np.zeros(4, np.float32))
    assert second.write_idx == 1


def exported_names(path):
    """The names a shared library exports: the dynamic symbols of an ELF file (through nm),
    the export table of a Windows DLL (read here: Windows has no nm)."""
    data = Path(path).read_bytes()
    if data[:4] == b"\x7fELF":
        if shutil.which("nm") is None:
            pytest.skip("needs nm from binutils")
        symbols = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True,
                                 text=True, check=True).stdout
        return sorted(line.split()[-1] for line in symbols.splitlines())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    table = optional + optional_size

    def at(rva):  # where the section holding address `rva` keeps it in the file
        for section in range(table, table + 40 * sections, 40):
            size, address, raw_size, raw = struct.unpack_from("<4I", data, section + 8)
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise AssertionError(f"address {rva:#x} is in no section")

    exports = struct.unpack_from("<I", data, directories)[0]
    if exports == 0:
        return []
    count, _, names = struct.unpack_from("<3I", data, at(exports) + 24)
    return sorted(data[at(rva):data.index(b"\0", at(rva))].decode()
                  for rva in struct.unpack_from(f"<{count}I", data, at(names)))


def test_each_library_exports_only_its_entry_points():
    assert exported_names(quorvane.__file__) == ["PyInit_quorvane"]
    assert exported_names(quorvane_reader._native.__file__) == ["PyInit__native"]
    # The core both modules link: its C++ interface (mangled in namespace quorvane) alone.
    installed = Path(quorvane.__file__).parent
    core = exported_names(installed / "libquorvane_core.dll" if sys.platform == "win32" else
                          installed / "quorvane.libs" / "libquorvane_core.so")
    assert core and all(re.match(r"_Z(NK?|T[ISV]N)8quorvane", name) for name in core), core
    if C_LIBRARY:
        names = exported_names(C_LIBRARY)
        assert names and all(name.startswith("quorvane_") for name in names), names
