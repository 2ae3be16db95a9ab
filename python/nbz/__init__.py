"""nbz: 16-bit PCM to a stream of 4-bit adaptive differential codes, and back,
with numpy arrays in and out; the same bytes as the commands nbz, nbzhq and
nbzdec. Every call into the library releases the interpreter lock, so a
ThreadPoolExecutor encodes many sounds at once."""

import collections
import ctypes
import numbers
import operator

import numpy as np

from ._library import Report as _Report
from ._library import check, lib

__all__ = ["encode", "encode_hq", "decode", "level", "measure", "prepare", "search_kernel", "Report", "WIDTH_MAX",
           "__version__"]

__version__ = lib.nbz_version_text().decode("ascii")

WIDTH_MAX = 64
_RATE_MAX = 2**31 - 1
# Samples per call into the search or the resampler: each call runs a
# fraction of a second, between which Ctrl-C is seen.
_PIECE = 1 << 18


def search_kernel():
    """The search kernel that this processor runs ("plain", "AVX2" or
    "AVX-512", as nbzhq -V says); every kernel gives the same streams."""
    return lib.nbz_search_kernel_text().decode("ascii")


def _address(array):
    return array.ctypes.data


def _pcm(pcm):
    """pcm as a contiguous native int16 array, or TypeError / ValueError."""
    if isinstance(pcm, np.ndarray):
        if pcm.dtype.kind != "i" or pcm.dtype.itemsize != 2:
            raise TypeError(f"pcm must hold int16 samples, not {pcm.dtype} (convert with astype(numpy.int16) "
                            "if the values are 16-bit samples)")
        if pcm.ndim != 1:
            raise ValueError(f"pcm must be one-dimensional (samples,), not of shape {pcm.shape}")
        return np.ascontiguousarray(pcm, dtype=np.int16)
    if isinstance(pcm, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"pcm must be an int16 array or a sequence of ints, not {type(pcm).__name__} "
                        "(raw little-endian bytes: numpy.frombuffer(data, '<i2'))")
    try:
        values = np.asarray(pcm)
    except (TypeError, ValueError) as error:
        raise TypeError(f"pcm must be an int16 array or a sequence of ints: {error}") from None
    if values.ndim == 0:
        raise TypeError(f"pcm must be an int16 array or a sequence of ints, not {type(pcm).__name__}")
    if values.ndim != 1:
        raise ValueError(f"pcm must be a flat sequence of samples, not of shape {values.shape}")
    if values.size == 0:
        return np.empty(0, dtype=np.int16)
    if values.dtype.kind == "O" and all(isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in values):
        raise ValueError("pcm holds an int outside the 16-bit range -32768..32767")
    if values.dtype.kind not in "iu":
        raise TypeError(f"pcm must be a sequence of ints, not of {values.dtype} values")
    low, high = int(values.min()), int(values.max())
    if low < -32768 or high > 32767:
        raise ValueError(f"pcm holds {low if low < -32768 else high}, outside the 16-bit range -32768..32767")
    return values.astype(np.int16)


def _stream(stream):
    """stream's bytes as a uint8 array, or TypeError / ValueError."""
    if isinstance(stream, np.ndarray):
        if stream.dtype != np.uint8 or stream.ndim != 1:
            raise TypeError(f"stream must be bytes or a one-dimensional uint8 array, not a {stream.dtype} "
                            f"array of shape {stream.shape}")
        data = np.ascontiguousarray(stream)
    elif isinstance(stream, str):
        raise TypeError("stream must be bytes, not str")
    else:
        try:
            data = np.frombuffer(memoryview(stream).cast("B"), dtype=np.uint8)
        except TypeError:
            raise TypeError(f"stream must be bytes, not {type(stream).__name__}") from None
    if data.size % 4:
        raise ValueError(f"stream must be a whole number of 4-byte code words, not {data.size} bytes")
    return data


def _real(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _whole(value, name, low, high, what):
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        whole = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if not low <= whole <= high:
        raise ValueError(f"{name} must be {what} from {low} to {high}, not {whole}")
    return whole


def _gained(pcm, gain_db):
    """nbz's gain: each sample scaled, truncated toward zero, saturated."""
    factor = lib.nbz_gain_factor(_real(gain_db, "gain_db"))
    if factor == 1.0:
        return pcm
    out = np.empty_like(pcm)
    check(lib.nbz_gain_truncating(_address(pcm), pcm.size, factor, _address(out), out.size))
    return out


def encode(pcm, gain_db=0.0):
    """The exact encoder: nbz's stream of pcm (an int16 array or a sequence of
    ints), 4 bytes per 8 samples, the last word padded with zeros. gain_db is
    nbz's gain (each sample scaled and truncated)."""
    samples = _gained(_pcm(pcm), gain_db)
    out = np.empty(lib.nbz_stream_bytes(samples.size), dtype=np.uint8)
    check(lib.nbz_encode(_address(samples), samples.size, _address(out), out.size, None))
    return out.tobytes()


def encode_hq(pcm, width=64, gain_db=0.0):
    """The search encoder: nbzhq's stream of pcm as raw input, at search width
    1..64 (nbzhq -w), with nbz's gain. For an audio file's samples, give
    prepare(...)'s result with gain_db=0."""
    search_width = _whole(width, "width", 1, WIDTH_MAX, "a search width")
    samples = _gained(_pcm(pcm), gain_db)
    out = np.empty(lib.nbz_stream_bytes(samples.size), dtype=np.uint8)
    scratch = np.empty(lib.nbz_search_bound(min(samples.size, _PIECE)), dtype=np.uint8)
    written = ctypes.c_size_t()
    search = ctypes.c_void_p()
    check(lib.nbz_search_new(search_width, ctypes.byref(search)))
    try:
        done = 0
        for start in range(0, samples.size, _PIECE):
            piece = samples[start:start + _PIECE]
            check(lib.nbz_search_put(search, _address(piece), piece.size, _address(scratch), scratch.size,
                                     ctypes.byref(written)))
            out[done:done + written.value] = scratch[:written.value]
            done += written.value
        end = np.empty(lib.nbz_search_bound(0), dtype=np.uint8)
        check(lib.nbz_search_end(search, _address(end), end.size, ctypes.byref(written), None))
        out[done:done + written.value] = end[:written.value]
        done += written.value
    finally:
        lib.nbz_search_free(search)
    if done != out.size:
        raise RuntimeError(f"nbz: the search wrote {done} bytes for {samples.size} samples")
    return out.tobytes()


def decode(stream):
    """The samples of a stream (bytes, a whole number of 4-byte words) as
    nbzdec writes them: int16, clamped, 8 per word, the padding included."""
    data = _stream(stream)
    pcm = np.empty(2 * data.size, dtype=np.int16)
    check(lib.nbz_decode(_address(data), data.size, _address(pcm), pcm.size, None))
    return pcm


def level(stream):
    """The largest level that the stream's codes reconstruct: the commands'
    "Maximum output level"; above 32767 the stream overflows."""
    data = _stream(stream)
    peak = ctypes.c_uint32()
    check(lib.nbz_level(_address(data), data.size, ctypes.byref(peak)))
    return peak.value


Report = collections.namedtuple("Report", "level overflow snr_db signal_energy noise_energy")
Report.__doc__ = """The commands' report on a stream of some samples: the level and its
overflow beyond 32767, and the signal-to-noise ratio in dB (+inf when the
reconstruction is exact) with the energies that it compares."""


def measure(pcm, stream, gain_db=0.0):
    """The report that the commands print for `stream` as the stream of `pcm`
    with encode's gain gain_db: level, overflow and signal-to-noise ratio."""
    samples = _gained(_pcm(pcm), gain_db)
    data = _stream(stream)
    if data.size != lib.nbz_stream_bytes(samples.size):
        raise ValueError(f"stream must be {lib.nbz_stream_bytes(samples.size)} bytes for {samples.size} "
                         f"samples, not {data.size}")
    report = _Report()
    check(lib.nbz_measure(_address(samples), samples.size, _address(data), data.size, ctypes.byref(report)))
    return Report(report.level, report.overflow, report.snr_db, report.signal_energy, report.noise_energy)


def _float_frames(samples):
    """samples as a C-ordered float64 array of 1 or 2 dimensions, full scale 1.0."""
    if not isinstance(samples, np.ndarray):
        try:
            samples = np.asarray(samples)
        except (TypeError, ValueError) as error:
            raise TypeError(f"samples must be an int16 or float array: {error}") from None
    if samples.ndim not in (1, 2):
        raise ValueError(f"samples must be (frames,) or (frames, channels), not of shape {samples.shape}")
    if samples.ndim == 2 and samples.shape[1] == 0:
        raise ValueError("samples must have at least one channel")
    if samples.dtype.kind == "f":
        return np.ascontiguousarray(samples, dtype=np.float64)
    if samples.dtype.kind == "i" and samples.dtype.itemsize == 2:
        # As libsndfile reads a 16-bit file: the sample over 32768, exactly.
        return np.ascontiguousarray(samples, dtype=np.float64) / 32768.0
    raise TypeError(f"samples must be int16 or float, not {samples.dtype}")


def _resampled(mono, rate, rate_to):
    handle = ctypes.c_void_p()
    check(lib.nbz_resampler_new(rate, rate_to, ctypes.byref(handle)))
    try:
        pieces = []
        written = ctypes.c_size_t()
        scratch = np.empty(0, dtype=np.float64)
        for start in range(0, mono.size, _PIECE):
            piece = mono[start:start + _PIECE]
            # The filter's delay holds some output back: a later piece may give more.
            need = lib.nbz_resampler_bound(handle, piece.size)
            if scratch.size < need:
                scratch = np.empty(need, dtype=np.float64)
            check(lib.nbz_resampler_put(handle, _address(piece), piece.size, _address(scratch), scratch.size,
                                        ctypes.byref(written)))
            pieces.append(scratch[:written.value].copy())
        end = np.empty(lib.nbz_resampler_bound(handle, 0), dtype=np.float64)
        check(lib.nbz_resampler_end(handle, _address(end), end.size, ctypes.byref(written)))
        pieces.append(end[:written.value].copy())
    finally:
        lib.nbz_resampler_free(handle)
    return np.concatenate(pieces)


def prepare(samples, rate, rate_to=None, gain_db=0.0):
    """nbzhq's steps for an audio file's decoded samples: (frames,) or
    (frames, channels), int16 or float (full scale 1.0, as
    soundfile.read(dtype='float64') gives them) mixed to mono, resampled from
    rate to rate_to (Hz) when given and different, and rounded to int16 with
    the gain inside the one rounding. encode_hq(prepare(...)) is then nbzhq's
    stream of that file at that rate."""
    frames = _float_frames(samples)
    rate = _whole(rate, "rate", 1, _RATE_MAX, "a sample rate")
    if rate_to is not None:
        rate_to = _whole(rate_to, "rate_to", 1, _RATE_MAX, "a sample rate")
    factor = lib.nbz_gain_factor(_real(gain_db, "gain_db"))
    if frames.ndim == 2:
        mono = np.empty(frames.shape[0], dtype=np.float64)
        check(lib.nbz_mix_to_mono(_address(frames), frames.shape[0], frames.shape[1], _address(mono), mono.size))
    else:
        mono = frames
    if rate_to is not None and rate_to != rate:
        mono = _resampled(mono, rate, rate_to)
    pcm = np.empty(mono.size, dtype=np.int16)
    check(lib.nbz_to_pcm16(_address(mono), mono.size, factor, _address(pcm), pcm.size))
    return pcm
