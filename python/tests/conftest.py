"""The commands to compare with: NBZ_COMMANDS names the folder that holds nbz,
nbzhq, nbzdec and make_pcm (the build folder; <clone>/build by default). The
library under test is the package's own, or NBZ_LIBRARY's."""

import os
import pathlib
import re
import subprocess

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def commands():
    folder = pathlib.Path(os.environ.get("NBZ_COMMANDS", ROOT / "build"))
    for name in ("nbz", "nbzhq", "nbzdec", "make_pcm"):
        if not (folder / name).is_file():
            pytest.fail(f"{folder / name} is missing: build the project, or set NBZ_COMMANDS")
    return folder


@pytest.fixture
def run(commands):
    """run(command, *arguments): the command's standard output; fails on a non-zero status."""

    def run_command(name, *arguments):
        done = subprocess.run([str(commands / name), *map(str, arguments)], capture_output=True, text=True)
        assert done.returncode == 0, f"{name} {arguments}: {done.stdout}{done.stderr}"
        return done.stdout

    return run_command


@pytest.fixture
def make_pcm(run, tmp_path):
    """make_pcm(seconds, seed, kind): make_pcm's samples as int16."""

    def make(seconds, seed, kind="music"):
        path = tmp_path / f"made-{seed}-{kind}.raw"
        run("make_pcm", path, seconds, seed, kind)
        return np.fromfile(path, dtype="<i2")

    return make


@pytest.fixture
def outside_environment():
    """The environment without what points at the clone's package and library."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "NBZ_LIBRARY")}


@pytest.fixture
def readme_example():
    """The README's Python example, and the line it says the example prints."""
    example = re.search(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S).group(1)
    return example, re.search(r"# Prints: (.*)", example).group(1)
