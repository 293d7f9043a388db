"""Matrices saved to Zarr and read back: the same bits, chunks of whole rows, and the attributes."""

import datetime
import hashlib

import dask.array
import numpy as np
import pytest
import zarr

import corvane
from corvane import files, synthetic


def awkward_matrix(kk=20):
    """Values a lossy or careless writer changes: NaN with a payload, both zeros, infinities,
    subnormals, and a block of rows that holds nothing but -0.0."""
    matrix = np.random.default_rng(1).standard_normal((kk, kk)) * 10.0 ** np.arange(-150, 150, 15)
    matrix[0, :4] = [np.inf, -np.inf, 5e-324, -2.5e-310]
    matrix[1, :2] = np.frombuffer(np.array([0x7FF8DEADBEEF0001, 0xFFF0000000000001],
                                           np.uint64).tobytes())
    matrix[6:9] = -0.0
    return matrix


@pytest.mark.parametrize("read, kind", [
    (files.load, np.ndarray),
    (lambda path: files.load(path, lazy=True), dask.array.Array),
    (files.open_store, zarr.Array),
])
def test_round_trip_is_exact_to_the_bit(tmp_path, monkeypatch, read, kind):
    monkeypatch.setattr(files, "CHUNK_BYTES", 3 * 20 * 8)  # three rows per chunk
    matrix = awkward_matrix()
    files.save(tmp_path / "m.zarr", matrix)
    loaded = read(tmp_path / "m.zarr").matrix
    assert type(loaded) is kind
    back = np.asarray(loaded)
    assert back.dtype == np.float64
    np.testing.assert_array_equal(back.view(np.uint64), matrix.view(np.uint64))
    stored = zarr.open_array(tmp_path / "m.zarr", mode="r")
    assert stored.chunks == (3, 20) and stored.compressors


def test_lazy_input_is_written_and_large_matrices_compress(tmp_path):
    kk = 300
    band = np.zeros((kk, kk))
    for k in range(-3, 4):
        band += np.diag(np.full(kk - abs(k), 0.5 ** abs(k)), k)
    files.save(tmp_path / "band.zarr", dask.array.from_array(band, chunks=(7, kk)))
    np.testing.assert_array_equal(files.load(tmp_path / "band.zarr").matrix, band)
    stored = sum(p.stat().st_size for p in (tmp_path / "band.zarr").rglob("*") if p.is_file())
    assert stored < band.nbytes / 10


def test_attributes_describe_what_made_the_matrix(tmp_path):
    (tmp_path / "instrument.npz").write_bytes(b"measured PSFs")
    psfs = np.arange(12.0).reshape(3, 4)
    windows = synthetic.nested_windows(k=(4, 5))
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    files.save(tmp_path / "m.zarr", np.eye(20), kind="horizontal", windows=windows,
               options={"steps": [1, 2, 1, 1]},
               inputs={"instrument": tmp_path / "instrument.npz", "psfs": psfs,
                       "note": b"raw bytes"})
    loaded = files.load(tmp_path / "m.zarr")
    assert loaded.kind == "horizontal"
    assert loaded.windows == windows
    assert zarr.open_array(tmp_path / "m.zarr").attrs["windows"]["k_y"] == 5
    assert loaded.options == {"steps": [1, 2, 1, 1]}
    assert loaded.inputs == {"instrument": hashlib.sha256(b"measured PSFs").hexdigest(),
                             "psfs": hashlib.sha256(psfs.tobytes()).hexdigest(),
                             "note": hashlib.sha256(b"raw bytes").hexdigest()}
    assert loaded.version == corvane.__version__
    created = datetime.datetime.fromisoformat(loaded.created)
    assert created.utcoffset() == datetime.timedelta(0)
    assert before <= created <= datetime.datetime.now(datetime.timezone.utc)


def test_refusals(tmp_path):
    with pytest.raises(ValueError, match=r"matrix must be square, got shape \(3, 4\)"):
        files.save(tmp_path / "a.zarr", np.zeros((3, 4)))
    with pytest.raises(ValueError, match="kind must be one of"):
        files.save(tmp_path / "a.zarr", np.zeros((3, 3)), kind="vertical")
    files.save(tmp_path / "a.zarr", np.ones((3, 3)))
    with pytest.raises(FileExistsError, match="a.zarr exists"):
        files.save(tmp_path / "a.zarr", np.zeros((3, 3)))
    files.save(tmp_path / "a.zarr", np.full((2, 2), 2.0), overwrite=True)
    np.testing.assert_array_equal(files.load(tmp_path / "a.zarr").matrix, np.full((2, 2), 2.0))
