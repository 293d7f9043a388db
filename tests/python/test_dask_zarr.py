"""Matrices built into Zarr stores block by block: round trips on local threads and on a cluster
of two worker processes, resumption after a killed worker or a failed write, and refusals."""

import errno
import json
import logging
import os
import signal
import threading
import time

import numpy as np
import pytest
import zarr
from blockcases import assert_same_bits, instrument, whole_horizontal, whole_infield
from corvane import BuildError, Instrument, synthetic
from corvane.blockstore import StoreMismatchError
from corvane.files import load, save
from corvane.zarrbuild import build_to_zarr


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def attributes(path):
    with open(os.path.join(path, "zarr.json")) as file:
        return json.load(file)["attributes"]


def assert_complete(path, expected):
    stored = load(path)
    assert_same_bits(stored.matrix, expected)
    assert attributes(path)["complete"] is True


@pytest.mark.parametrize("kind, options", [
    ("infield", dict(scheme="midpoint", lower_edge=True, rows_below=3, rows_above=60)),
    ("horizontal", dict(steps=(2, 3, 2, 1))),
])
@pytest.mark.parametrize("on_cluster", [False, True])
def test_round_trip(request, tmp_path, kind, options, on_cluster):
    client = request.getfixturevalue("client") if on_cluster else None
    inst, windows = instrument("tall", vignetting=True)
    whole = whole_infield if kind == "infield" else whole_horizontal
    expected = whole(inst, windows, **options)
    path = tmp_path / "matrix.zarr"
    summary = build_to_zarr(path, inst, windows, kind=kind, client=client, chunks=2, **options)
    assert (summary.blocks, summary.built) == (3, 3)
    assert_complete(path, expected)
    stored = load(path)
    assert (stored.kind, stored.windows, stored.options) == (
        kind, windows, json.loads(json.dumps(options)))
    assert len(attributes(path)["blocks"]["digests"]) == 3
    # A second run finds every block intact and builds nothing.
    assert build_to_zarr(path, inst, windows, kind=kind, client=client, **options).built == 0


def test_killed_worker_loses_nothing(client, tmp_path):
    windows = synthetic.nested_windows(k=(64, 32), kbin=(1, 1), lbin=(1, 1),
                                       science_offset=(2, 42))
    inst = synthetic.instrument(windows)
    expected = whole_infield(inst, windows)
    path = tmp_path / "matrix.zarr"
    outcome = {}

    def build():
        try:
            outcome["summary"] = build_to_zarr(path, inst, windows, client=client, chunks=1)
        except Exception as error:  # the scheduler may give up on the block of a dead worker
            outcome["error"] = error

    runner = threading.Thread(target=build)
    runner.start()
    deadline = time.monotonic() + 60
    while not (path / "zarr.json").exists() or not attributes(path)["blocks"]["digests"]:
        assert time.monotonic() < deadline and runner.is_alive()
        time.sleep(0.002)
    victim = next(iter(client.run(os.getpid).values()))
    os.kill(victim, signal.SIGKILL)
    assert attributes(path)["complete"] is False
    runner.join()
    if "error" in outcome:
        assert attributes(path)["complete"] is False
        build_to_zarr(path, inst, windows, client=client)
    assert_complete(path, expected)


def test_failed_write_is_finished_by_a_rerun(tmp_path, monkeypatch):
    inst, windows = instrument("tall")
    expected = whole_infield(inst, windows)
    path = tmp_path / "matrix.zarr"
    real_set = zarr.storage.LocalStore.set
    writes = []

    async def full_disk(self, key, value):
        writes.append(key)
        if key.startswith("c/") and len([k for k in writes if k.startswith("c/")]) > 2:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        await real_set(self, key, value)

    monkeypatch.setattr(zarr.storage.LocalStore, "set", full_disk)
    with pytest.raises(OSError, match="No space left on device.*run build_to_zarr again"):
        build_to_zarr(path, inst, windows, chunks=1)
    monkeypatch.undo()
    assert attributes(path)["complete"] is False
    with pytest.raises(ValueError, match="unfinished build"):
        load(path)
    kept = len(attributes(path)["blocks"]["digests"])
    assert kept < windows.k_x
    assert build_to_zarr(path, inst, windows, chunks=1).built == windows.k_x - kept
    assert_complete(path, expected)


def test_damaged_blocks_are_built_again(tmp_path):
    inst, windows = instrument("tall")
    expected = whole_infield(inst, windows)
    path = tmp_path / "matrix.zarr"
    build_to_zarr(path, inst, windows, chunks=1)
    # One block overwritten behind the store's back, one whose digest was never recorded.
    stored = zarr.open_array(path, mode="r+")
    stored[0:windows.k_y] = 1.0
    digests = dict(stored.attrs["blocks"]["digests"])
    del digests[str(windows.k_x - 1)]
    stored.update_attributes({"blocks": {"columns": 1, "digests": digests}, "complete": False})
    assert build_to_zarr(path, inst, windows).built == 2
    assert_complete(path, expected)


@pytest.mark.parametrize("change", ["options", "windows", "inputs", "kind"])
def test_a_store_of_another_request_is_refused(tmp_path, change):
    inst, windows = instrument("tall")
    path = tmp_path / "matrix.zarr"
    build_to_zarr(path, inst, windows, scheme="midpoint")
    before = {name: (path / name).read_bytes() for name in os.listdir(path) if name.endswith(
        ".json")}
    arguments = dict(instrument=inst, windows=windows, scheme="midpoint")
    if change == "options":
        arguments["scheme"] = "quadratic"
    elif change == "windows":
        other = instrument("small")
        arguments.update(instrument=other[0], windows=other[1])
    elif change == "inputs":
        arguments["instrument"] = Instrument(inst.psfs * 1.5, inst.locations, inst.coefficients,
                                             inst.indices)
    else:
        del arguments["scheme"]
        arguments["kind"] = "horizontal"
    with pytest.raises(StoreMismatchError, match=f"holds another matrix(.|\n)*- {change}"):
        build_to_zarr(path, **arguments)
    after = {name: (path / name).read_bytes() for name in before}
    assert after == before


@pytest.mark.parametrize("content", ["file", "directory", "saved matrix"])
def test_a_path_with_other_content_is_refused(tmp_path, content):
    inst, windows = instrument("small")
    path = tmp_path / "matrix.zarr"
    if content == "file":
        path.write_bytes(b"not a store")
    elif content == "directory":
        path.mkdir()
        (path / "notes.txt").write_text("keep me")
    else:
        save(path, np.eye(windows.kk), windows=windows)
    listing = sorted(p.name for p in tmp_path.rglob("*"))
    with pytest.raises(FileExistsError, match="left as it is"):
        build_to_zarr(path, inst, windows)
    assert sorted(p.name for p in tmp_path.rglob("*")) == listing


def test_a_request_the_library_refuses_leaves_no_store(tmp_path, caplog):
    inst, windows = instrument("tall")
    small = Instrument(inst.psfs[:, :4, :4], inst.locations, inst.coefficients, inst.indices)
    path = tmp_path / "matrix.zarr"
    message = "there were errors in the psf locations, coefficients or indexing arrays"
    with caplog.at_level(logging.INFO, logger="corvane"):
        with pytest.raises(BuildError, match=message):
            build_to_zarr(path, small, windows, chunks=1)
    assert len([r for r in caplog.records if message in r.getMessage()]) == 1
    assert not path.exists()
