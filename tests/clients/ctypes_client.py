"""Python over the C interface through ctypes: encodes raw 16-bit PCM with
nbz_encode and with the search (width 4, in uneven pieces) and checks the
streams against nbz's and nbzhq -w 4's.

    python3 ctypes_client.py LIBRARY IN.raw NBZ.nbz NBZHQ.nbz
"""
import ctypes
import sys

library, raw, exact, searched = sys.argv[1:5]
nbz = ctypes.CDLL(library)
nbz.nbz_version_text.restype = ctypes.c_char_p
nbz.nbz_stream_bytes.restype = ctypes.c_uint64
nbz.nbz_stream_bytes.argtypes = [ctypes.c_uint64]
nbz.nbz_search_bound.restype = ctypes.c_size_t
nbz.nbz_search_bound.argtypes = [ctypes.c_size_t]
size_p = ctypes.POINTER(ctypes.c_size_t)
nbz.nbz_search_put.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                               ctypes.c_size_t, size_p]
nbz.nbz_search_end.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, size_p, ctypes.c_void_p]
nbz.nbz_search_free.argtypes = [ctypes.c_void_p]

data = open(raw, "rb").read()
samples = len(data) // 2
pcm = (ctypes.c_int16 * samples).from_buffer_copy(data[:2 * samples])
stream = ctypes.create_string_buffer(nbz.nbz_stream_bytes(samples))
level = ctypes.c_uint32()
assert nbz.nbz_encode(pcm, ctypes.c_size_t(samples), stream, ctypes.c_size_t(len(stream)), ctypes.byref(level)) == 0
assert stream.raw == open(exact, "rb").read(), "the stream differs from nbz's"

search = ctypes.c_void_p()
assert nbz.nbz_search_new(4, ctypes.byref(search)) == 0
out = bytearray()
written = ctypes.c_size_t()
at, n = 0, 1
while at < samples:
    n = min(n, samples - at)
    part = ctypes.create_string_buffer(nbz.nbz_search_bound(n))
    piece = ctypes.byref(pcm, 2 * at)
    assert nbz.nbz_search_put(search, piece, n, part, len(part), ctypes.byref(written)) == 0
    out += part.raw[:written.value]
    at, n = at + n, n * 5 + 3
part = ctypes.create_string_buffer(nbz.nbz_search_bound(0))
assert nbz.nbz_search_end(search, part, len(part), ctypes.byref(written), None) == 0
out += part.raw[:written.value]
nbz.nbz_search_free(search)
assert bytes(out) == open(searched, "rb").read(), "the search's stream differs from nbzhq's"
print("Python client: nbz %s, %d samples, level %d, nbz's and nbzhq's bytes"
      % (nbz.nbz_version_text().decode(), samples, level.value))
