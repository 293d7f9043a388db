"""The corvane command end to end: build a store from an instrument file, describe it, run the
demo; each through a new process, as a user would."""

import hashlib
import importlib.util
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

from corvane import cli, files, synthetic
from corvane.build import horizontal_matrix, infield_matrix


def corvane(*args, script=False):
    """Runs the console script, or ``python -m corvane``, and returns the finished process."""
    command = [str(Path(sysconfig.get_path("scripts")) / "corvane")] if script else [
        sys.executable, "-m", "corvane"]
    return subprocess.run(command + [str(a) for a in args], capture_output=True, text=True,
                          timeout=300)


@pytest.fixture(scope="module")
def instrument_file(tmp_path_factory):
    instrument, windows = synthetic.small()
    path = tmp_path_factory.mktemp("instrument") / "small.npz"
    np.savez(path, windows=windows.specs, **instrument.arrays())
    return path, instrument, windows


@pytest.mark.parametrize("flags, kind, expected, option", [
    ((), "infield", lambda i, w: infield_matrix(i, w), "option scheme = quadratic"),
    (("--scheme", "midpoint", "--threads", "2", "--progress"), "infield",
     lambda i, w: infield_matrix(i, w, scheme="midpoint"), "option scheme = midpoint"),
    (("--horizontal", "--threads", "1"), "horizontal", lambda i, w: horizontal_matrix(i, w),
     "option steps = [1, 1, 1, 1]"),
])
def test_build_writes_the_matrix_and_info_describes_it(instrument_file, tmp_path, flags, kind,
                                                       expected, option):
    path, instrument, windows = instrument_file
    out = tmp_path / "m.zarr"
    built = corvane("build", path, out, *flags, script=kind == "horizontal")
    assert built.returncode == 0, built.stderr
    assert f"written to {out}" in built.stdout
    stored = files.load(out)
    np.testing.assert_array_equal(stored.matrix, expected(instrument, windows))
    assert stored.kind == kind and stored.windows == windows
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    assert stored.inputs == {"instrument": digest}

    info = corvane("info", out)
    assert info.returncode == 0, info.stderr
    assert f"{windows.kk} x {windows.kk} float64" in info.stdout
    assert cli.KIND_NAMES[kind] in info.stdout
    assert f"sha256 {digest}" in info.stdout
    assert " ".join(map(str, windows.specs)) in info.stdout
    assert option in info.stdout


def test_build_refusals(instrument_file, tmp_path):
    path, instrument, windows = instrument_file
    out = tmp_path / "m.zarr"
    files.save(out, np.eye(2))
    refused = corvane("build", path, out)
    assert refused.returncode == 1
    assert "exists; pass --overwrite to replace it" in refused.stderr
    assert corvane("build", path, out, "--overwrite").returncode == 0

    bare = tmp_path / "bare.npz"
    np.savez(bare, **instrument.arrays())
    refused = corvane("build", bare, tmp_path / "other.zarr")
    assert refused.returncode == 1 and "has no 'windows' array" in refused.stderr
    refused = corvane("build", tmp_path / "missing.npz", tmp_path / "other.zarr")
    assert refused.returncode == 1 and "missing.npz" in refused.stderr
    assert corvane("build", path).returncode == 2  # usage error from argparse


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                    reason="the figure needs matplotlib")
def test_demo_corrects_the_image_and_saves_the_figure(tmp_path):
    figure = tmp_path / "demo.png"
    demo = corvane("demo", "--plot", figure, "--threads", "2", script=True)
    assert demo.returncode == 0, demo.stderr
    error = float(re.search(r"largest error (\S+) of the peak", demo.stdout).group(1))
    assert error < 1e-10
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_without_matplotlib_says_how_to_get_it(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main(["demo", "--plot", str(tmp_path / "demo.png")]) == 0
    assert "pip install 'corvane[demo]'" in capsys.readouterr().out
    assert not (tmp_path / "demo.png").exists()
