"""The binding itself: every export's prototype against vexlor.h, finding the library, refusing a
library of the other width, and the result codes mapped to exception classes."""

from __future__ import annotations

import ctypes
import re
import shutil
import struct
import subprocess

import pytest

import vexlor
from vexlor import _native
from vexlor.devices import Digital12, Digital24, IOController, Thermometer2

from conftest import HEADER

C_TYPES = {
    "uint16_t": _native.U16,
    "uint16_t*": _native.P_U16,
    "uint32_t*": _native.P_U32,
    "int32_t*": _native.P_I32,
    "double*": _native.P_DBL,
}


def header_prototypes() -> dict:
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    found = {}
    for name, args in re.findall(r"VEXLOR_API int VEXLOR_CALL (\w+)\(([^)]*)\)", text):
        types = []
        for arg in args.split(","):
            words = arg.replace("*", " * ").split()
            types.append(words[0] + ("*" if "*" in words else ""))
        found[name] = types
    return found


@pytest.mark.skipif(not HEADER.is_file(), reason="needs the source tree's include/vexlor.h")
def test_every_prototype_matches_the_header():
    header = header_prototypes()
    declared = {name: [_native.U16, _native.U16, *args]
                for name, args in _native.PROTOTYPES.items()}
    header.pop("VexlorDlgWeb_IO_ConfigHardware")
    assert set(declared) == set(header)
    for name, types in header.items():
        assert declared[name] == [C_TYPES[t] for t in types], name


def test_bound_functions_carry_exact_types_and_int_result(sim):
    driver = sim.driver()
    for name, args in _native.PROTOTYPES.items():
        function = driver.function(name)
        assert function.restype is ctypes.c_int
        assert list(function.argtypes) == [_native.U16, _native.U16, *args]


def test_the_bundled_or_installed_driver_is_found_and_loaded_as_a_private_copy(sim):
    found = vexlor.find_library()
    assert found == _native.candidates()[0]
    assert _native.library_bits(found) == _native.interpreter_bits()
    driver = sim.driver()
    assert driver.private and driver.source == found
    copy = driver.path.parent
    assert (copy / "libwsock32.so").is_file()
    assert (copy / "Vexlor.ini").resolve() == (sim.settings_dir / "Vexlor.ini").resolve()
    driver.close()
    assert not copy.exists()


def test_windows_binds_24xdigital_readdo_by_its_decorated_name(monkeypatch):
    decorated = ctypes.CFUNCTYPE(ctypes.c_int)(lambda: 0)
    fake_dll = type("FakeDll", (), {_native.READ_DO_24_DECORATED: decorated})()
    monkeypatch.setattr(_native, "IS_WINDOWS", True)
    function = _native.bind(fake_dll, "VexlorWeb_IO_24xDigital_ReadDO")
    assert function is decorated
    assert list(function.argtypes) == [_native.U16, _native.U16, _native.P_U32] + [_native.P_U16] * 24


def test_a_named_folder_without_a_driver_is_refused(tmp_path):
    with pytest.raises(vexlor.LibraryNotFoundError, match="no libvexlor.so"):
        vexlor.find_library(tmp_path)


@pytest.mark.parametrize("bits,header", [
    (32, b"\x7fELF\x01\x01\x01" + bytes(57)),
    (64, b"\x7fELF\x02\x01\x01" + bytes(57)),
    (32, b"MZ" + bytes(58) + struct.pack("<I", 64) + b"PE\0\0" + struct.pack("<H", 0x14C)),
    (64, b"MZ" + bytes(58) + struct.pack("<I", 64) + b"PE\0\0" + struct.pack("<H", 0x8664)),
])
def test_a_library_of_the_other_width_is_refused_naming_both(tmp_path, bits, header):
    library = tmp_path / "lib"
    library.write_bytes(header)
    assert _native.library_bits(library) == bits
    mine = _native.interpreter_bits()
    if bits == mine:
        _native.check_width(library)
    else:
        with pytest.raises(vexlor.LibraryNotFoundError) as caught:
            _native.check_width(library)
        assert f"{bits}-bit library" in str(caught.value)
        assert f"this Python is {mine}-bit" in str(caught.value)


def test_without_its_socket_layer_every_call_raises_socket_layer_error(tmp_path, settings_dir):
    lonely = tmp_path / "lonely"
    lonely.mkdir()
    shutil.copyfile(vexlor.find_library(), lonely / "libvexlor.so.0")
    with vexlor.Driver(lonely, settings=settings_dir) as driver:
        with pytest.raises(vexlor.SocketLayerError) as caught:
            driver.open(0, Digital12)
        assert (caught.value.code, caught.value.name) == (3, "NO_SOCKET_LAYER")
        with pytest.raises(vexlor.SocketLayerError):
            Thermometer2(driver, 1).read()


def fake_driver(written):
    """A Driver whose every function writes ``written`` through its pointers and returns 10060,
    as a read does that reports stale values."""

    def function(language, slot, *pointers):
        for pointer, value in zip(pointers, written):
            pointer._obj.value = value
        return 10060

    driver = object.__new__(vexlor.Driver)
    driver._private_dir = None
    driver._closed = False
    driver._functions = {name: function for name in _native.PROTOTYPES}
    return driver


@pytest.mark.parametrize("family,method,written,expected", [
    (Digital12, "read_inputs", [0x5, 1, 0, 1] + [0] * 9, vexlor.DigitalState(5, (1, 0, 1) + (0,) * 9)),
    (Digital24, "read_outputs", [0x800000] + [0] * 23 + [1], vexlor.DigitalState(0x800000, (0,) * 23 + (1,))),
    (Digital12, "read_counters", list(range(7, 19)), tuple(range(7, 19))),
    (IOController, "read_inputs", [0x81, 1, 0, 0, 0, 0, 0, 0, 1], vexlor.DigitalState(0x81, (1,) + (0,) * 6 + (1,))),
    (Thermometer2, "read", [20.5, vexlor.MISSING], (20.5, vexlor.MISSING)),
])
def test_no_answer_carries_the_values_the_read_copied(family, method, written, expected):
    device = family(fake_driver(written), 7)
    with pytest.raises(vexlor.NoAnswerError) as caught:
        getattr(device, method)()
    error = caught.value
    assert (error.code, error.name, error.slot) == (10060, "WSAETIMEDOUT", 7)
    assert isinstance(error, vexlor.SocketError) and isinstance(error, vexlor.DriverError)
    assert error.values == expected


def vexlorctl_codes():
    """vexlorctl's result-code table ("  CODE NAME: meaning" per line), from the vexlorctl
    bundled with the package or beside the driver."""
    driver = vexlor.find_library()
    for folder in (_native.BUNDLED_BIN_DIR, driver.parent):
        tool = folder / "vexlorctl"
        if tool.is_file():
            out = subprocess.run([str(tool), "--driver", str(driver), "codes"], capture_output=True,
                                 text=True, timeout=30, check=True).stdout
            return {int(code): (name, meaning) for code, name, meaning in
                    re.findall(r"^  (\d+) (\w+): (.*)$", out, re.M)}
    pytest.skip("no vexlorctl beside the package or the driver")


def test_every_result_code_reads_as_vexlorctl_says():
    table = vexlorctl_codes()
    assert len(table) > 50 and table[10060][1] == "the device does not answer"
    assert {code: vexlor.describe(code) for code in table} == table
    assert set(vexlor.errors._RESULTS) == set(table)


def test_result_codes_become_their_classes():
    expected = {2: vexlor.BadSlotError, 3: vexlor.SocketLayerError, 6: vexlor.SlotInUseError,
                10060: vexlor.NoAnswerError, 10061: vexlor.RefusedError,
                10054: vexlor.SocketError, 10038: vexlor.SocketError}
    for code, cls in expected.items():
        error = vexlor.errors.error_for(code, "VexlorWeb_IO_Init", 4)
        assert type(error) is cls
        assert str(code) in str(error) and error.meaning in str(error)
    assert vexlor.describe(10054) == ("WSAECONNRESET", "connection reset by peer")
