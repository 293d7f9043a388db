"""Both matrices as lazy Dask arrays of whole-x-column blocks, against whole builds."""

import itertools
import logging

import numpy as np
import pytest
from blockcases import assert_same_bits, instrument, whole_horizontal, whole_infield
from corvane import BuildError, Instrument
from corvane import dask as cdask
from corvane.blocks import BlockRequest, column_blocks
from dask.core import get_dependencies


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("scheme, lower_edge, rows", [
    (scheme, lower_edge, rows) for (scheme, lower_edge), rows in itertools.product(
        itertools.product(["quadratic", "midpoint"], [True, False]), [(42, 42), (3, 60)])])
@pytest.mark.parametrize("geometry", ["small", "tall"])
def test_infield_blocks_equal_the_whole_matrix(geometry, scheme, lower_edge, rows, threads):
    inst, windows = instrument(geometry)
    options = dict(scheme=scheme, lower_edge=lower_edge, rows_below=rows[0], rows_above=rows[1])
    expected = whole_infield(inst, windows, **options)
    for chunks in (1, 2, windows.k_x):
        lazy = cdask.infield_matrix(inst, windows, chunks=chunks, threads=threads, **options)
        assert lazy.chunks[0][0] == min(chunks, windows.k_x) * windows.k_y
        assert_same_bits(lazy.compute(), expected)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("vignetting", [False, True])
@pytest.mark.parametrize("steps", [(1, 1, 1, 1), (2, 3, 2, 1), (3, 1, 1, 2)])
@pytest.mark.parametrize("geometry", ["small", "tall"])
def test_horizontal_blocks_equal_the_whole_matrix(geometry, steps, vignetting, threads):
    inst, windows = instrument(geometry, vignetting)
    expected = whole_horizontal(inst, windows, steps)
    for chunks in (1, 2, windows.k_x):
        lazy = cdask.horizontal_matrix(inst, windows, chunks=chunks, steps=steps,
                                       threads=threads)
        assert_same_bits(lazy.compute(), expected)


def test_the_request_is_one_key_of_the_graph():
    inst, windows = instrument("tall")
    lazy = cdask.infield_matrix(inst, windows, chunks=2)
    graph = dict(lazy.__dask_graph__())
    holders = [key for key, value in graph.items() if isinstance(value, BlockRequest)]
    assert len(holders) == 1
    blocks = [key for key in graph if key not in holders]
    assert len(blocks) == len(column_blocks(windows.k_x, 2)) == 3
    for key in blocks:
        assert get_dependencies(graph, key) == {holders[0]}


def test_failed_request_raises_in_every_block_and_logs_once(caplog):
    # PSFs smaller than the detector window: the library refuses the whole request.
    inst, windows = instrument("tall")
    small = Instrument(inst.psfs[:, :4, :4], inst.locations, inst.coefficients, inst.indices)
    lazy = cdask.infield_matrix(small, windows, chunks=1)
    message = "there were errors in the psf locations, coefficients or indexing arrays"
    for i in range(windows.k_x):
        caplog.clear()
        with caplog.at_level(logging.INFO, logger="corvane"):
            with pytest.raises(BuildError, match=message):
                lazy.blocks[i].compute()
        logged = [r for r in caplog.records if message in r.getMessage()]
        assert len(logged) == (1 if i == 0 else 0)


def test_lines_of_the_request_come_once(caplog):
    inst, windows = instrument("small")
    with caplog.at_level(logging.INFO, logger="corvane"):
        matrix = cdask.infield_matrix(inst, windows, chunks=1).compute()
    assert np.isfinite(matrix).all()
    versions = [r for r in caplog.records if "Version [" in r.getMessage()]
    assert len(versions) == 1
    assert versions[0].pathname.startswith("cpp/sources/")


@pytest.mark.parametrize("chunks", [0, -2])
def test_chunks_must_be_positive(chunks):
    inst, windows = instrument("small")
    with pytest.raises(ValueError, match="positive number of x-columns"):
        cdask.infield_matrix(inst, windows, chunks=chunks)
