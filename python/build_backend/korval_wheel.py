"""A minimal build backend for the korval package: a wheel of korval/ and an sdist of this directory, with
nothing to download. Hooks as pip calls them (PEP 517, PEP 660).

A wheel is pure Python (it loads the library installed on the system) unless the config settings name a
library to carry inside the package and the wheel's platform tag:
    pip wheel ./python --config-settings library=build/src/libkorval.so --config-settings platform=linux_x86_64
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NAME = "korval"


def _version() -> str:
    # The library's version (the CMake project's, from the public header) in a source tree; an sdist
    # keeps it in PKG-INFO.
    header = ROOT.parent / "include" / "korval" / "korval.h"
    if header.exists():
        parts = {}
        for line in header.read_text().splitlines():
            words = line.split()
            if len(words) >= 3 and words[0] == "#define" and words[1].startswith("KORVAL_VERSION_"):
                parts[words[1][len("KORVAL_VERSION_"):]] = words[2]
        if {"MAJOR", "MINOR", "PATCH"} <= parts.keys():
            return f"{parts['MAJOR']}.{parts['MINOR']}.{parts['PATCH']}"
    info = ROOT / "PKG-INFO"
    if info.exists():
        for line in info.read_text().splitlines():
            if line.startswith("Version:"):
                return line.split(":", 1)[1].strip()
    raise RuntimeError("no version: neither ../include/korval/korval.h nor PKG-INFO")


def _metadata() -> str:
    readme = (ROOT / "README.md").read_text() if (ROOT / "README.md").exists() else ""
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            "Summary: Python access to the Korval USB data-acquisition boards\n"
            "Requires-Python: >=3.9\nRequires-Dist: numpy\n"
            f"Description-Content-Type: text/markdown\n\n{readme}")


def _wheel_file(tag: str) -> str:
    pure = "true" if tag.endswith("-any") else "false"
    return f"Wheel-Version: 1.0\nGenerator: korval_wheel\nRoot-Is-Purelib: {pure}\nTag: {tag}\n"


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _write_wheel(directory: str, files: dict[str, bytes], platform: str = "any") -> str:
    version = _version()
    tag = f"py3-none-{platform}"
    info = f"{NAME}-{version}.dist-info"
    files = dict(files)
    files[f"{info}/METADATA"] = _metadata().encode()
    files[f"{info}/WHEEL"] = _wheel_file(tag).encode()
    files[f"{info}/top_level.txt"] = f"{NAME}\n".encode()
    record = [_record_line(n, d) for n, d in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    wheel_name = f"{NAME}-{version}-{tag}.whl"
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(entry, data)
    return wheel_name


def _package_files() -> dict[str, bytes]:
    return {str(p.relative_to(ROOT)).replace(os.sep, "/"): p.read_bytes()
            for p in sorted((ROOT / NAME).rglob("*.py"))}


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    files = _package_files()
    library = settings.get("library")
    if not library:
        return _write_wheel(wheel_directory, files)
    platform = settings.get("platform")
    if not platform:
        raise ValueError("a wheel that carries the library needs its platform tag (config setting platform)")
    # Under the name the package looks for first (korval/_lib.py).
    name = "KORVAL.dll" if platform.startswith("win") else "libkorval.so"
    files[f"{NAME}/{name}"] = Path(library).read_bytes()
    return _write_wheel(wheel_directory, files, platform)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path file that puts this directory on sys.path: edits take effect without reinstalling.
    return _write_wheel(wheel_directory, {f"_{NAME}_editable.pth": f"{ROOT}\n".encode()})


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{_version()}"
    name = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as tar:
        for path in ["pyproject.toml", "README.md", "build_backend/korval_wheel.py"] + list(_package_files()):
            if (ROOT / path).exists():
                tar.add(ROOT / path, arcname=f"{base}/{path}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return name
