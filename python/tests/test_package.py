"""The package against the commands: the same bytes for the same samples."""

import re

import numpy as np
import pytest
import soundfile

import nbz


def level_of(report):
    return int(re.search(r"Maximum output level: (\d+)", report).group(1))


@pytest.fixture
def pcm(make_pcm):
    return make_pcm(0.6, 7)[:26459]  # not a whole number of blocks


@pytest.mark.parametrize("gain", [None, "-6.5", "3"])
def test_encode_is_nbz(run, tmp_path, pcm, gain):
    pcm.tofile(tmp_path / "in.raw")
    report = run("nbz", tmp_path / "in.raw", tmp_path / "out.nbz", *([gain] if gain else []))
    stream = nbz.encode(pcm, gain_db=float(gain or 0))
    assert stream == (tmp_path / "out.nbz").read_bytes()
    assert nbz.level(stream) == level_of(report)


@pytest.mark.parametrize("width, gain", [(64, None), (9, "-3")])
def test_encode_hq_is_nbzhq_of_raw(run, tmp_path, pcm, width, gain):
    pcm.tofile(tmp_path / "in.raw")
    report = run("nbzhq", "-w", width, tmp_path / "in.raw", tmp_path / "out.nbz", *([gain] if gain else []))
    stream = nbz.encode_hq(pcm, width=width, gain_db=float(gain or 0))
    assert stream == (tmp_path / "out.nbz").read_bytes()
    measured = nbz.measure(pcm, stream, gain_db=float(gain or 0))
    assert (measured.level, f"{measured.snr_db:.2f}") == (level_of(report), re.search(r"ratio: (\S+) dB", report)[1])


def test_decode_is_nbzdec(run, tmp_path, pcm):
    stream = nbz.encode_hq(list(pcm[:1000]), width=4)  # a list of ints is taken too
    (tmp_path / "in.nbz").write_bytes(stream)
    run("nbzdec", tmp_path / "in.nbz", tmp_path / "out.raw")
    decoded = nbz.decode(stream)
    assert decoded.dtype == np.int16 and decoded.size == 2 * len(stream)
    assert decoded.astype("<i2").tobytes() == (tmp_path / "out.raw").read_bytes()


@pytest.mark.parametrize("container, subtype, read_as, gain", [
    ("wav", "PCM_24", "float64", None),
    ("wav", "PCM_24", "float64", "-4.5"),
    ("flac", "PCM_16", "int16", "2"),
    ("aiff", "PCM_24", "float64", None),
])
def test_prepare_then_encode_hq_is_nbzhq(run, tmp_path, make_pcm, container, subtype, read_as, gain):
    # Stereo at 48 kHz, to 22050 Hz.
    left, right = make_pcm(0.5, 3), make_pcm(0.5, 4, "speech")
    frames = np.stack([left * 0.9, right * 0.6 + 0.25], axis=1) / 32768.0
    path = tmp_path / f"sound.{container}"
    soundfile.write(path, frames, 48000, subtype=subtype)
    run("nbzhq", "-r", 22050, "-w", 12, path, tmp_path / "out.nbz", *([gain] if gain else []))
    samples, rate = soundfile.read(path, dtype=read_as)
    prepared = nbz.prepare(samples, rate, rate_to=22050, gain_db=float(gain or 0))
    assert nbz.encode_hq(prepared, width=12) == (tmp_path / "out.nbz").read_bytes()


def test_prepare_keeps_the_rate_when_it_is_the_same():
    samples = np.array([[0.5, -0.25], [1.5, 1.5], [np.nan, 0.0]])
    assert nbz.prepare(samples, 44100, rate_to=44100).tolist() == [4096, 32767, 0]
    assert nbz.prepare(np.array([-32768, 5], dtype=np.int16), 8000, gain_db=0).tolist() == [-32768, 5]


@pytest.mark.parametrize("call, error, text", [
    (lambda: nbz.encode(np.zeros(8, dtype=np.float64)), TypeError, "int16"),
    (lambda: nbz.encode(np.zeros(8, dtype=np.int32)), TypeError, "int16"),
    (lambda: nbz.encode(np.zeros((2, 8), dtype=np.int16)), ValueError, "one-dimensional"),
    (lambda: nbz.encode([1, 2.5]), TypeError, "ints"),
    (lambda: nbz.encode([1, 40000]), ValueError, "40000"),
    (lambda: nbz.encode([1, 2**80]), ValueError, "16-bit"),
    (lambda: nbz.encode([[1, 2], [3]]), TypeError, "sequence of ints"),
    (lambda: nbz.encode(b"\0\0"), TypeError, "frombuffer"),
    (lambda: nbz.encode(None), TypeError, "NoneType"),
    (lambda: nbz.encode([[1, 2], [3, 4]]), ValueError, "shape"),
    (lambda: nbz.encode([1], gain_db="3"), TypeError, "gain_db"),
    (lambda: nbz.encode_hq([1], width=0), ValueError, "1 to 64"),
    (lambda: nbz.encode_hq([1], width=65), ValueError, "1 to 64"),
    (lambda: nbz.encode_hq([1], width=8.0), TypeError, "width"),
    (lambda: nbz.decode(b"12345"), ValueError, "4-byte"),
    (lambda: nbz.decode("abcd"), TypeError, "str"),
    (lambda: nbz.decode(np.zeros(4, dtype=np.int16)), TypeError, "uint8"),
    (lambda: nbz.level(42), TypeError, "int"),
    (lambda: nbz.measure([1, 2], b"1234" * 2), ValueError, "4 bytes for 2 samples"),
    (lambda: nbz.prepare(np.zeros(4, dtype=np.int32), 8000), TypeError, "int16 or float"),
    (lambda: nbz.prepare(np.zeros((4, 0)), 8000), ValueError, "channel"),
    (lambda: nbz.prepare(np.zeros((2, 2, 2)), 8000), ValueError, "shape"),
    (lambda: nbz.prepare(np.zeros(4), 0), ValueError, "rate"),
    (lambda: nbz.prepare(np.zeros(4), 48000.0), TypeError, "rate"),
    (lambda: nbz.prepare(np.zeros(4), 2**31, 8000), ValueError, "rate"),
    (lambda: nbz.prepare(np.zeros(4), 2**30, 1), ValueError, "rate"),  # a ratio the resampler refuses
])
def test_errors(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_empty_input():
    assert nbz.encode([]) == b"" and nbz.encode_hq(np.empty(0, dtype=np.int16)) == b""
    assert nbz.decode(b"").size == 0 and nbz.level(b"") == 0
    assert nbz.prepare(np.empty((0, 2)), 48000, 22050).size == 0


def test_readme_example(capsys, readme_example):
    example, printed = readme_example
    exec(compile(example, "README.md", "exec"), {})
    assert capsys.readouterr().out == printed + "\n"
