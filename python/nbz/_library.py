"""The C library through ctypes: loading it, the prototypes, and its error
codes as Python exceptions. ctypes releases the interpreter lock for every
call into it, so that threads encode at once."""

import ctypes
import os
import sys

NAME = "nbz.dll" if sys.platform == "win32" else "libnbz.so.1"


def _load():
    # NBZ_LIBRARY names another build of the library, for example a build
    # tree's, in place of the one the package carries.
    path = os.environ.get("NBZ_LIBRARY") or os.path.join(os.path.dirname(os.path.abspath(__file__)), NAME)
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(f"nbz cannot load its library {path}: {error}") from error


lib = _load()

_int, _u32, _u64, _size, _double = ctypes.c_int, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_size_t, ctypes.c_double
_ptr = ctypes.c_void_p  # buffers go in as addresses (numpy's .ctypes.data)
_handle_out = ctypes.POINTER(ctypes.c_void_p)
_size_out = ctypes.POINTER(ctypes.c_size_t)
_u32_out = ctypes.POINTER(ctypes.c_uint32)

_PROTOTYPES = {
    "nbz_error_text": (ctypes.c_char_p, [_int]),
    "nbz_version_text": (ctypes.c_char_p, []),
    "nbz_search_kernel_text": (ctypes.c_char_p, []),
    "nbz_stream_bytes": (_u64, [_u64]),
    "nbz_encode": (_int, [_ptr, _size, _ptr, _size, _u32_out]),
    "nbz_decode": (_int, [_ptr, _size, _ptr, _size, _u32_out]),
    "nbz_level": (_int, [_ptr, _size, _u32_out]),
    "nbz_search_new": (_int, [_int, _handle_out]),
    "nbz_search_put": (_int, [_ptr, _ptr, _size, _ptr, _size, _size_out]),
    "nbz_search_end": (_int, [_ptr, _ptr, _size, _size_out, _u32_out]),
    "nbz_search_free": (None, [_ptr]),
    "nbz_search_bound": (_size, [_size]),
    "nbz_gain_factor": (_double, [_double]),
    "nbz_gain_truncating": (_int, [_ptr, _size, _double, _ptr, _size]),
    "nbz_mix_to_mono": (_int, [_ptr, _size, _int, _ptr, _size]),
    "nbz_resampler_new": (_int, [_u32, _u32, _handle_out]),
    "nbz_resampler_bound": (_size, [_ptr, _size]),
    "nbz_resampler_put": (_int, [_ptr, _ptr, _size, _ptr, _size, _size_out]),
    "nbz_resampler_end": (_int, [_ptr, _ptr, _size, _size_out]),
    "nbz_resampler_free": (None, [_ptr]),
    "nbz_to_pcm16": (_int, [_ptr, _size, _double, _ptr, _size]),
    "nbz_measure": (_int, [_ptr, _size, _ptr, _size, _ptr]),
}


class Report(ctypes.Structure):
    """nbz_report: the figures of the commands' reports."""

    _fields_ = [("level", ctypes.c_uint32), ("overflow", ctypes.c_uint32), ("signal_energy", ctypes.c_double),
                ("noise_energy", ctypes.c_double), ("snr_db", ctypes.c_double)]

for _name, (_restype, _argtypes) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype = _restype
    _function.argtypes = _argtypes

ERROR_NULL_POINTER, ERROR_CAPACITY, ERROR_MEMORY, ERROR_INTERNAL = -1, -2, -8, -10


def check(code):
    """Raises the exception for a C function's negative result: ValueError for
    what the arguments asked, RuntimeError for a fault of this package."""
    if code >= 0:
        return
    text = lib.nbz_error_text(code).decode("ascii", "replace")
    if code == ERROR_MEMORY:
        raise MemoryError(f"nbz: {text}")
    if code in (ERROR_NULL_POINTER, ERROR_CAPACITY, ERROR_INTERNAL):
        raise RuntimeError(f"nbz: {text}")
    raise ValueError(f"nbz: {text}")
