"""The wheel installed into a fresh venv works without the rest of the
project: NBZ_WHEEL's (the release's), or one built here from python/."""

import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_wheel_in_a_fresh_venv(tmp_path, run, make_pcm):
    # Nothing of the clone's: neither the package's folder nor its library.
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "NBZ_LIBRARY")}
    wheel = os.environ.get("NBZ_WHEEL")
    if not wheel:
        # Built from a copy of python/, so that the clone gets no build folders.
        shutil.copytree(ROOT / "python", tmp_path / "python", ignore=shutil.ignore_patterns("build", "*.egg-info"))
        subprocess.run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
                        "-w", tmp_path / "wheels", tmp_path / "python"], env={**environment, "NBZ_SOURCE_DIR": ROOT},
                       check=True)
        (wheel,) = (tmp_path / "wheels").glob("nbz-*-py3-none-linux_x86_64.whl")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=environment, check=True)
    subprocess.run([venv / "bin" / "pip", "install", "--quiet", "--no-index", wheel], env=environment, check=True)

    make_pcm(0.3, 5).tofile(tmp_path / "in.raw")
    run("nbz", tmp_path / "in.raw", tmp_path / "expected.nbz")
    empty = tmp_path / "elsewhere"
    empty.mkdir()
    script = ("import sys, numpy, nbz; assert nbz.__file__.startswith(sys.prefix), nbz.__file__; "
              "sys.stdout.buffer.write(nbz.encode(numpy.fromfile(sys.argv[1], '<i2')))")
    done = subprocess.run([venv / "bin" / "python", "-c", script, tmp_path / "in.raw"], cwd=empty,
                          env=environment, capture_output=True, check=True)
    assert done.stdout == (tmp_path / "expected.nbz").read_bytes()
