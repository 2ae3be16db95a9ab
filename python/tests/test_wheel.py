"""The package installed into fresh venvs: the wheel (NBZ_WHEEL's, the
release's, or one built here from python/) works without the rest of the
project, and the README's install command gives a venv in which the
README's example prints what the README says."""

import os
import pathlib
import re
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


def test_readme_install_command_and_example(tmp_path):
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "NBZ_LIBRARY")}
    # The script and the package copied, so that the clone gets no venv or build folders;
    # the library is built from the clone's sources.
    clone = tmp_path / "clone"
    for folder in ("scripts", "python"):
        shutil.copytree(ROOT / folder, clone / folder, ignore=shutil.ignore_patterns("build", "*.egg-info"))
    subprocess.run([clone / "scripts" / "python-venv"], env={**environment, "NBZ_SOURCE_DIR": ROOT},
                   check=True, capture_output=True)

    readme = (ROOT / "README.md").read_text()
    assert "`scripts/python-venv` makes `venv/`" in readme
    example = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    printed = re.search(r"# Prints: (.*)", example).group(1)
    empty = tmp_path / "elsewhere"
    empty.mkdir()
    script = f"import sys, nbz; assert nbz.__file__.startswith(sys.prefix), nbz.__file__\n{example}"
    done = subprocess.run([clone / "venv" / "bin" / "python", "-c", script], cwd=empty, env=environment,
                          capture_output=True, text=True, check=True)
    assert done.stdout == printed + "\n"
