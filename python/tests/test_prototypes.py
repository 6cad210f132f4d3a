"""The package's ctypes prototypes and result-code names against the library's own headers and export
list: a function bound with a wrong argument count or type, or a name the library does not export,
fails here instead of corrupting a call."""

from __future__ import annotations

import ctypes
import re
from pathlib import Path

import pytest

from korval import _lib, errors

ROOT = Path(__file__).resolve().parents[2]
HEADERS = ROOT / "include" / "korval"
EXPORT_LIST = ROOT / "src" / "core" / "export_list.h"

pytestmark = pytest.mark.skipif(not EXPORT_LIST.exists(), reason="needs the source tree's headers")

SCALARS = {
    "uint8_t": ctypes.c_uint8, "uint16_t": ctypes.c_uint16, "uint32_t": ctypes.c_uint32,
    "int32_t": ctypes.c_int32, "uint64_t": ctypes.c_uint64, "int64_t": ctypes.c_int64, "double": ctypes.c_double,
    "int": ctypes.c_int,
}
# The package's structures, by the C type they stand for.
STRUCTURES = {
    "KorvalCapabilities": _lib.Capabilities, "KorvalDACPair": _lib.DACPair, "KorvalSimTransfer": _lib.SimTransfer,
    "KorvalSimFault": _lib.SimFault, "KorvalSimDigitalState": _lib.SimDigitalState,
    "KorvalSimCounter": _lib.SimCounter, "KorvalSimAdcSignal": _lib.SimAdcSignal,
    "KorvalUnusableBoard": _lib.UnusableBoardInfo, "KorvalBoardEvent": _lib.BoardEventInfo,
    "KorvalTrigger": _lib.MeasureTrigger, "KorvalMeasureSettings": _lib.MeasureSettings,
    "KorvalMeasureBlock": _lib.MeasureBlock, "KorvalMeasureStatus": _lib.MeasureStatus,
}
CALLBACKS = {"PContCallback": _lib.ContCallback, "KorvalMeasureCallback": _lib.MeasureCallback,
             "KorvalBoardCallback": _lib.BoardCallback}
OPAQUE = {"KorvalMeasurement"}  # handles the package keeps as addresses


def declarations() -> dict[str, tuple[str, list[str]]]:
    """name: (return type, parameter types) of every KORVAL_API function in the public headers."""
    found = {}
    for header in HEADERS.glob("*.h"):
        text = re.sub(r"/\*.*?\*/", " ", header.read_text(), flags=re.S)
        for ret, name, params in re.findall(r"KORVAL_API\s+([\w\s*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", text):
            types = []
            for param in params.split(","):
                param = " ".join(param.split())
                if param in ("", "void"):
                    continue
                param = re.sub(r"\s*\b(\w+)\s*\[\w*\]$", r" *\1", param)  # an array parameter is a pointer
                types.append(re.sub(r"\s*\b\w+$", "", param) if not param.endswith("*") else param)
            found[name] = (" ".join(ret.split()), types)
    return found


def exported_names() -> set[str]:
    text = EXPORT_LIST.read_text()
    return set(re.findall(r"ENTRY\(\w+,\s*\w+,\s*(\w+),", text)) | set(re.findall(r"EXTRA\((\w+)\)", text))


def matches(c_type: str, bound) -> bool:
    """Whether the ctypes type `bound` passes a C value of `c_type` unchanged."""
    c_type = c_type.replace("const ", "").strip()
    if c_type == "void":
        return bound is None
    if c_type in CALLBACKS:
        return bound is CALLBACKS[c_type]
    if not c_type.endswith("*"):
        return SCALARS.get(c_type) is bound
    target = c_type[:-1].strip()
    if target.rstrip(" *") in OPAQUE:
        return bound is (ctypes.c_void_p if target in OPAQUE else ctypes.POINTER(ctypes.c_void_p))
    if bound is ctypes.c_void_p:
        return True  # any pointer passes as an address
    if bound is ctypes.c_char_p:
        return target == "char"
    pointee = getattr(bound, "_type_", None)
    if target in SCALARS:
        return pointee is SCALARS[target]
    return STRUCTURES.get(target) is pointee


def test_every_bound_function_matches_its_declaration():
    declared = declarations()
    exported = exported_names()
    wrong = []
    for name, (restype, argtypes) in _lib._PROTOTYPES.items():
        if name not in exported:
            wrong.append(f"{name}: not exported")
            continue
        if name not in declared:
            wrong.append(f"{name}: not declared in include/korval/")
            continue
        c_ret, c_params = declared[name]
        if not matches(c_ret, restype):
            wrong.append(f"{name}: returns {c_ret}, bound as {restype}")
        if len(c_params) != len(argtypes):
            wrong.append(f"{name}: takes {len(c_params)} arguments, bound with {len(argtypes)}")
            continue
        for i, (c_type, bound) in enumerate(zip(c_params, argtypes)):
            if not matches(c_type, bound):
                wrong.append(f"{name}: argument {i} is {c_type}, bound as {bound}")
    assert wrong == []


def c_structures() -> dict[str, list[tuple[str, str, int]]]:
    """name: [(field type, field name, array length or 0)] of every structure in the public headers."""
    found = {}
    for header in HEADERS.glob("*.h"):
        text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", header.read_text(), flags=re.S)
        defines = {k: int(v, 0) for k, v in re.findall(r"#define\s+(\w+)\s+(0x[0-9a-fA-F]+|\d+)u?\b", text)}
        for name, body in re.findall(r"typedef\s+struct\s+(\w+)\s*\{(.*?)\}\s*\1\s*;", text, flags=re.S):
            fields = []
            for c_type, field, size in re.findall(r"([\w\s]+?\**)\s*\b(\w+)\s*(?:\[(\w+)\])?\s*;", body):
                length = int(defines.get(size, size or 0)) if size else 0
                fields.append((" ".join(c_type.replace("const ", "").split()), field, length))
            found[name] = fields
    return found


def test_measurement_structures_match_the_headers():
    declared = c_structures()
    for c_name in ("KorvalTrigger", "KorvalMeasureSettings", "KorvalMeasureBlock", "KorvalMeasureStatus"):
        bound = STRUCTURES[c_name]
        c_fields = declared[c_name]
        assert [f[1] for f in c_fields] == [f[0] for f in bound._fields_], c_name
        for (c_type, name, length), (_, ctype) in zip(c_fields, bound._fields_):
            if length:
                assert ctype._length_ == length and SCALARS[c_type] is ctype._type_, f"{c_name}.{name}"
            elif c_type in STRUCTURES:
                assert STRUCTURES[c_type] is ctype, f"{c_name}.{name}"
            else:
                assert matches(c_type, ctype), f"{c_name}.{name}: {c_type} bound as {ctype}"


def test_result_names_are_the_headers():
    text = (HEADERS / "korval.h").read_text()
    table = text[text.index("#define KORVAL_RESULT_CODES(X)"):]
    table = table[:table.index("\n\n")]
    codes = {int(value): name for name, value in re.findall(r"X\((\w+),\s*(\d+)\)", table)}
    assert errors.RESULT_NAMES == codes


def test_version_is_the_librarys():
    import korval

    version = _lib.load().raw("KORVAL_GetVersion")
    assert korval.__version__ == f"{version >> 16}.{(version >> 8) & 0xFF}.{version & 0xFF}"
    text = (HEADERS / "korval.h").read_text()
    parts = [re.search(rf"#define KORVAL_VERSION_{p} (\d+)", text).group(1) for p in ("MAJOR", "MINOR", "PATCH")]
    assert korval.__version__ == ".".join(parts)
