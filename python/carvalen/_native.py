"""Finds and loads libcarvalen through ctypes, and makes the raw calls of carvalen.h."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Optional, Tuple

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None

# The statuses of carvalen.h.
OK, FAILED, USAGE, NO_MEMORY = 0, 1, 2, 3


# Where `cmake --install` puts the library by default: the loader searches /usr/local/lib only
# once ldconfig has run, which an install does not do.
_INSTALLED = ["/usr/local/lib/libcarvalen.so.1", "/usr/local/lib64/libcarvalen.so.1"]


def _candidates() -> list[str]:
    explicit = os.environ.get("CARVALEN_LIBRARY")
    if explicit:
        return [explicit]  # asked for: no silent fallback to another copy
    # The loader's own search (LD_LIBRARY_PATH, ldconfig's cache: a package's library), then
    # the default install.
    names = ["libcarvalen.so.1", "libcarvalen.so"]
    found = ctypes.util.find_library("carvalen")
    return ([found] if found else []) + names + [p for p in _INSTALLED if os.path.exists(p)]


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _candidates():
        try:
            library = ctypes.CDLL(candidate)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise OSError(
            "cannot load libcarvalen (set CARVALEN_LIBRARY to its path): " + "; ".join(errors)
        )
    # A CDLL call releases the GIL, so Python threads call the library in parallel.
    library.carvalen_call.argtypes = [
        ctypes.c_char_p,
        ctypes.c_char_p,
        ctypes.POINTER(ctypes.c_void_p),
    ]
    library.carvalen_call.restype = ctypes.c_int
    library.carvalen_call_plain_described.argtypes = [
        ctypes.c_char_p,
        ctypes.c_char_p,
        ctypes.POINTER(ctypes.c_void_p),
        ctypes.POINTER(ctypes.c_void_p),
    ]
    library.carvalen_call_plain_described.restype = ctypes.c_int
    library.carvalen_operations.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    library.carvalen_operations.restype = ctypes.c_int
    library.carvalen_free.argtypes = [ctypes.c_void_p]
    library.carvalen_free.restype = None
    library.carvalen_version.argtypes = []
    library.carvalen_version.restype = ctypes.c_char_p
    return library


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = _load()
        return _library


def _take(status: int, pointer: ctypes.c_void_p) -> Tuple[int, str]:
    if not pointer.value:
        if status == NO_MEMORY:
            raise MemoryError("the library ran out of memory")
        raise RuntimeError(f"the library answered status {status} without a document")
    try:
        return status, ctypes.string_at(pointer.value).decode("utf-8")
    finally:
        library().carvalen_free(pointer)


def call(target: str, arguments_json: str) -> Tuple[int, str]:
    """carvalen_call: the status and the document text."""
    out = ctypes.c_void_p()
    status = library().carvalen_call(
        target.encode("utf-8"), arguments_json.encode("utf-8"), ctypes.byref(out)
    )
    return _take(status, out)


def call_plain(target: str, arguments_json: str) -> Tuple[int, str, str]:
    """carvalen_call_plain_described: the status, the plain document text and, when the
    operation raised an error, its own description ("" otherwise)."""
    out = ctypes.c_void_p()
    described = ctypes.c_void_p()
    status = library().carvalen_call_plain_described(
        target.encode("utf-8"),
        arguments_json.encode("utf-8"),
        ctypes.byref(out),
        ctypes.byref(described),
    )
    description = ""
    if described.value:
        try:
            description = ctypes.string_at(described.value).decode("utf-8")
        finally:
            library().carvalen_free(described.value)
    status, text = _take(status, out)
    return status, text, description


def operations() -> Tuple[int, str]:
    """carvalen_operations: the status and the document text."""
    out = ctypes.c_void_p()
    status = library().carvalen_operations(ctypes.byref(out))
    return _take(status, out)


def version() -> str:
    """carvalen_version."""
    text: bytes = library().carvalen_version()
    return text.decode("ascii")
