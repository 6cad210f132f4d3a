"""A minimal build backend for the pure-Python korval package: a wheel of korval/ and an sdist of this
directory, with nothing to download. Hooks as pip calls them (PEP 517, PEP 660)."""

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
    for line in (ROOT / "pyproject.toml").read_text().splitlines():
        if line.startswith("version"):
            return line.split("=", 1)[1].strip().strip('"')
    raise RuntimeError("pyproject.toml has no version")


def _metadata() -> str:
    readme = (ROOT / "README.md").read_text() if (ROOT / "README.md").exists() else ""
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            "Summary: Python access to the Korval USB data-acquisition boards\n"
            "Requires-Python: >=3.9\nRequires-Dist: numpy\n"
            f"Description-Content-Type: text/markdown\n\n{readme}")


def _wheel_file() -> str:
    return "Wheel-Version: 1.0\nGenerator: korval_wheel\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _write_wheel(directory: str, files: dict[str, bytes]) -> str:
    version = _version()
    info = f"{NAME}-{version}.dist-info"
    files = dict(files)
    files[f"{info}/METADATA"] = _metadata().encode()
    files[f"{info}/WHEEL"] = _wheel_file().encode()
    files[f"{info}/top_level.txt"] = f"{NAME}\n".encode()
    record = [_record_line(n, d) for n, d in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    wheel_name = f"{NAME}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data)
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
    return _write_wheel(wheel_directory, _package_files())


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
