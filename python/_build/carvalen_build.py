"""The package's build backend (PEP 517), written with the standard library alone.

`pip install ./python` then needs no index and no setuptools: the package is pure Python, so a
wheel is the package's files, its metadata (from pyproject.toml) and their hashes. Nothing is
written into the source tree.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import tarfile
import re
import time
import zipfile

try:
    import tomllib
except ImportError:  # Python before 3.11: the few plain keys this file uses, read by hand
    tomllib = None

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "carvalen"
_TAG = "py3-none-any"


def _project() -> dict:
    with open(os.path.join(_ROOT, "pyproject.toml"), "rb") as handle:
        if tomllib is not None:
            return tomllib.load(handle)["project"]
        text = handle.read().decode()
    section = text.split("[project]", 1)[1].split("\n[", 1)[0]
    project = dict(re.findall(r'^([\w-]+) = "([^"]*)"', section, re.M))
    project["classifiers"] = re.findall(r'"([^"]+ :: [^"]+)"', section)
    return project


def _metadata(project: dict) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
        f"License: {project.get('license', {}).get('text', '')}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines.append("Description-Content-Type: text/markdown")
    with open(os.path.join(_ROOT, project["readme"]), encoding="utf-8") as handle:
        return "\n".join(lines) + "\n\n" + handle.read()


def _package_files() -> list[str]:
    files = []
    for folder, dirs, names in os.walk(os.path.join(_ROOT, _PACKAGE)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            if name.endswith((".py", ".typed")):
                files.append(os.path.relpath(os.path.join(folder, name), _ROOT))
    return files


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def _wheel(wheel_directory: str, editable: bool) -> str:
    project = _project()
    dist_info = f"{project['name']}-{project['version']}.dist-info"
    filename = f"{project['name']}-{project['version']}-{_TAG}.whl"
    entries: list[tuple[str, bytes]] = []
    if editable:
        # A .pth line puts the source folder on sys.path: changes show without reinstalling.
        entries.append((f"{_PACKAGE}.pth", (_ROOT + "\n").encode()))
    else:
        for path in _package_files():
            with open(os.path.join(_ROOT, path), "rb") as handle:
                entries.append((path.replace(os.sep, "/"), handle.read()))
    entries.append((f"{dist_info}/METADATA", _metadata(project).encode()))
    entries.append(
        (
            f"{dist_info}/WHEEL",
            f"Wheel-Version: 1.0\nGenerator: carvalen_build\nRoot-Is-Purelib: true\n"
            f"Tag: {_TAG}\n".encode(),
        )
    )
    entries.append((f"{dist_info}/top_level.txt", f"{_PACKAGE}\n".encode()))
    record = [_record_line(name, data) for name, data in entries] + [f"{dist_info}/RECORD,,"]
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return filename


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, editable=False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, editable=True)


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{project['name']}-{project['version']}"
    filename = f"{base}.tar.gz"
    members = ["pyproject.toml", project["readme"], "_build/carvalen_build.py"] + _package_files()
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as archive:
        for path in members:
            with open(os.path.join(_ROOT, path), "rb") as handle:
                data = handle.read()
            info = tarfile.TarInfo(f"{base}/{path}")
            info.size, info.mtime, info.mode = len(data), int(time.time()), 0o644
            archive.addfile(info, io.BytesIO(data))
        pkg_info = _metadata(project).encode()
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size, info.mtime, info.mode = len(pkg_info), int(time.time()), 0o644
        archive.addfile(info, io.BytesIO(pkg_info))
    return filename
