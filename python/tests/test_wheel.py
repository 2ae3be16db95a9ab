"""The package installed into fresh venvs: the wheel (NBZ_WHEEL's, the
release's, or one built here from python/) works without the rest of the
project, and the README's install command gives a venv in which the
README's example prints what the README says."""

import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def copy_from_clone(folder, into):
    """A copy of the clone's `folder` without its build folders, so that
    building from it leaves the clone as it was."""
    shutil.copytree(ROOT / folder, into / folder, ignore=shutil.ignore_patterns("build", "*.egg-info"))


def test_wheel_in_a_fresh_venv(tmp_path, run, make_pcm, outside_environment):
    wheel = os.environ.get("NBZ_WHEEL")
    if not wheel:
        copy_from_clone("python", tmp_path)
        subprocess.run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
                        "-w", tmp_path / "wheels", tmp_path / "python"],
                       env={**outside_environment, "NBZ_SOURCE_DIR": ROOT}, check=True)
        (wheel,) = (tmp_path / "wheels").glob("nbz-*-py3-none-linux_x86_64.whl")
    venv = tmp_path / "venv"
    for command in ([sys.executable, "-m", "venv", "--system-site-packages", venv],
                    [venv / "bin" / "pip", "install", "--quiet", "--no-index", wheel]):
        subprocess.run(command, env=outside_environment, check=True)

    make_pcm(0.3, 5).tofile(tmp_path / "in.raw")
    run("nbz", tmp_path / "in.raw", tmp_path / "expected.nbz")
    empty = tmp_path / "elsewhere"
    empty.mkdir()
    script = ("import sys, numpy, nbz; assert nbz.__file__.startswith(sys.prefix), nbz.__file__; "
              "sys.stdout.buffer.write(nbz.encode(numpy.fromfile(sys.argv[1], '<i2')))")
    done = subprocess.run([venv / "bin" / "python", "-c", script, tmp_path / "in.raw"], cwd=empty,
                          env=outside_environment, capture_output=True, check=True)
    assert done.stdout == (tmp_path / "expected.nbz").read_bytes()


def test_readme_install_command_and_example(tmp_path, outside_environment, readme_example):
    # The library is built from the clone's sources.
    clone = tmp_path / "clone"
    for folder in ("scripts", "python"):
        copy_from_clone(folder, clone)
    subprocess.run([clone / "scripts" / "python-venv"], env={**outside_environment, "NBZ_SOURCE_DIR": ROOT},
                   check=True, capture_output=True)

    assert "`scripts/python-venv` makes `venv/`" in (ROOT / "README.md").read_text()
    example, printed = readme_example
    empty = tmp_path / "elsewhere"
    empty.mkdir()
    script = f"import sys, nbz; assert nbz.__file__.startswith(sys.prefix), nbz.__file__\n{example}"
    done = subprocess.run([clone / "venv" / "bin" / "python", "-c", script], cwd=empty, env=outside_environment,
                          capture_output=True, text=True, check=True)
    assert done.stdout == printed + "\n"
