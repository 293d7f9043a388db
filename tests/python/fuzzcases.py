"""Random calls of every matrix entry point and the checks each call must pass.

A call starts from a tiny valid instrument and changes one thing: a windowing parameter, an input
array (shape, rank, dtype, order, writeability, values), the output (size, layout, writeability,
memory shared with an input), the steps, the thread count or the options. `make_call` draws one
from a `Draw`, which the property tests back with Hypothesis and the campaign with `random`;
`run_call` makes it and returns what went wrong:

- W: bytes beside the output changed, or an exception left the output changed;
- F: True with a matrix that is not finite, or that differs from the same request on fresh
  C-contiguous copies of the inputs, on other thread counts or, when only the layout of the
  inputs changed, from the untouched instrument's matrix;
- U: False (or BuildError) without an all-zero output and an error or warning that says why
  (the block of L1C columns that starts at column 0 says it for the whole request), or where the
  untouched instrument builds;
- E: an exception of a type the entry point does not raise for bad arguments.
"""

from __future__ import annotations

import contextlib
import functools
import io
import warnings
from dataclasses import dataclass, field
from typing import Any

import _corvane_if as lib
import numpy as np

import corvane
from corvane.instrument import DETECTOR_CODE, NOOF_CODE
from corvane.synthetic import instrument as synthetic_instrument
from corvane.synthetic import nested_windows

INT_MAX = 2**31 - 1
INT_MIN = -(2**31)
DEFAULT_VERSION = "Version 0.2.0 2021-01-10"
FILL = 7.25  # what the output holds before a call
GUARD_BITS = np.uint64(0x7FF8_DEAD_BEEF_0001)  # a NaN no computation produces
ENTRIES = ("raw_infield", "raw_horizontal", "build_infield", "build_horizontal",
           "infield_matrix", "horizontal_matrix")
SPEC_NAMES = ("FULLCONVx", "FULLCONVy", "NOFSx", "NOFSy", "NOOFx", "NOOFy", "DOFSx", "DOFSy",
              "Dx", "Dy", "SOFSx", "SOFSy", "Sx", "Sy", "LBINx", "LBINy", "Lx", "Ly", "KBINx",
              "KBINy", "Kx", "Ky")

# Tiny instruments, KK from 1 to 12; the last one's windows fill their parents exactly (no lower
# edge rows, no NOOF columns beside the science window).
BASES = (
    dict(k=(1, 1), kbin=(1, 1), lbin=(1, 1), science_offset=(1, 2), detector_margin=(1, 1),
         noof_border=(2, 1), fullconv_border=(1, 1)),
    dict(k=(2, 2), kbin=(1, 1), lbin=(2, 1), science_offset=(1, 3), noof_border=(3, 1)),
    dict(k=(3, 4), science_offset=(2, 3)),
    dict(k=(4, 3), kbin=(1, 2), lbin=(1, 1), science_offset=(2, 5), detector_margin=(2, 1),
         noof_border=(4, 2)),
    dict(k=(2, 3), kbin=(2, 1), lbin=(1, 2), science_offset=(0, 0), detector_margin=(0, 0),
         noof_border=(0, 0), fullconv_border=(0, 0)),
)
SPECIAL_FLOATS = (np.nan, np.inf, -np.inf, 0.0, -1.0, 1e308, -1e308, 5e-324, 1e20)
RARE_THREADS = (-1, 64, 1000, 10**6, INT_MAX)


class Draw:
    """The choices a call is made of; subclasses say where they come from. Thread counts above
    `thread_limit` are never asked for."""

    thread_limit = INT_MAX

    def integer(self, low: int, high: int) -> int:
        raise NotImplementedError

    def pick(self, options: tuple | list) -> Any:
        return options[self.integer(0, len(options) - 1)]

    def chance(self, percent: int) -> bool:
        return self.integer(0, 99) < percent


class RandomDraw(Draw):
    def __init__(self, rng) -> None:
        self.rng = rng

    def integer(self, low: int, high: int) -> int:
        return self.rng.randint(low, high)


@dataclass
class Base:
    """One valid instrument as every entry point takes it."""

    windows: corvane.Windows
    instrument: corvane.Instrument

    @property
    def kk(self) -> int:
        return self.windows.kk

    def raw(self, matrix: str, vignetting: bool) -> list[np.ndarray]:
        """The arrays before the output, in the raw creators' order."""
        i = self.instrument
        if matrix == "infield":
            return [self.windows.specs, i.psfs, i.raw_locations(DETECTOR_CODE), i.coefficients,
                    i.indices]
        vig = i.raw_vignetting() if vignetting else np.zeros((0, 0))
        return [self.windows.specs, vig, i.psfs, i.raw_locations(NOOF_CODE), i.noof_coefficients,
                i.noof_indices]

    def parts(self, vignetting: bool) -> dict[str, Any]:
        """The package's inputs: the specs and the instrument's arrays."""
        parts = dict(specs=self.windows.specs, **self.instrument.arrays())
        if not vignetting:
            del parts["vignetting"]
        return parts


@functools.lru_cache(maxsize=None)
def base(index: int) -> Base:
    windows = nested_windows(**BASES[index])
    return Base(windows, synthetic_instrument(windows, vignetting=True))


class GuardedOut:
    """An output array inside a larger buffer whose other bytes must survive the call."""

    def __init__(self, host: np.ndarray | None, index: Any, out: Any) -> None:
        self.host, self.out = host, out
        if host is not None:
            self.mask = np.zeros(host.shape, bool)
            self.mask[index] = True
            self.before = host.copy()

    def _bits(self, array: np.ndarray) -> np.ndarray:
        return array.view(np.dtype(f"u{array.dtype.itemsize}"))

    def guards_intact(self) -> bool:
        if self.host is None:
            return True
        outside = ~self.mask
        return bool((self._bits(self.host)[outside] == self._bits(self.before)[outside]).all())

    def untouched(self) -> bool:
        return self.host is None or bool((self._bits(self.host) == self._bits(self.before)).all())


def _fill(host: np.ndarray, index: Any) -> None:
    if host.dtype == np.float64:
        host.view(np.uint64)[...] = GUARD_BITS
    else:
        host.view(np.uint8)[...] = 0xA5
    host[index] = FILL


def guarded_out(kind: str, rows: int, cols: int, guard: int) -> GuardedOut:
    """The output of the given kind, (rows, cols) where it is 2-d."""
    g = guard
    if kind in ("list", "none"):
        return GuardedOut(None, None, [[FILL] * cols] * rows if kind == "list" else None)
    dtype = {"float32": np.float32, "byteswapped": np.dtype(">f8")}.get(kind, np.float64)
    if kind == "fortran":
        host, index = np.empty((cols + 2 * g, rows), dtype), np.s_[g:g + cols]
    elif kind == "strided":
        host, index = np.empty((rows + 2 * g, 2 * cols + 1), dtype), np.s_[g:g + rows, 1::2]
    elif kind in ("1d", "3d"):
        host, index = np.empty(rows * cols + 2 * g, dtype), np.s_[g:g + rows * cols]
    else:
        host, index = np.empty((rows + 2 * g, cols), dtype), np.s_[g:g + rows]
    _fill(host, index)
    out = host[index]
    if kind == "fortran":
        out = out.T
    elif kind == "3d":
        out = out.reshape(1, rows, cols)
    elif kind == "readonly":
        out.flags.writeable = False
    return GuardedOut(host, index, out)


def overlapping_out(rows: int, cols: int, source: np.ndarray, offset: int) -> tuple:
    """An output that shares memory with a float64 input holding `source`'s values: the input
    starts `offset` elements after the output's first one (negative: before it)."""
    size, n = rows * cols, source.size
    start_out = max(0, -offset) + 2
    start_in = start_out + offset
    host = np.empty(max(start_out + size, start_in + n) + 2)
    index = np.s_[start_out:start_out + size]
    _fill(host, index)
    host[start_in:start_in + n] = source.ravel()
    guarded = GuardedOut(host, index, host[index].reshape(rows, cols))
    return guarded, host[start_in:start_in + n].reshape(source.shape)


@dataclass
class Call:
    """One call: `entry`(*before, out, *after, **kwargs), or for the package builders
    entry(Instrument(**parts), Windows.from_specs(specs), out=out, **kwargs)."""

    entry: str
    base: int
    label: str
    before: list = field(default_factory=list)
    after: list = field(default_factory=list)
    kwargs: dict = field(default_factory=dict)
    parts: dict = field(default_factory=dict)
    settings: dict = field(default_factory=dict)
    out: GuardedOut | None = None
    rows: tuple[int, int] | None = None  # the block of rows of the whole matrix it writes
    golden: tuple | None = None  # the request's options when its inputs hold the base's values
    copies: dict = field(default_factory=dict)  # fresh copies of the inputs, made before the call

    def describe(self) -> str:
        text = f"{self.entry} on instrument {self.base}: {self.label}"
        if self.settings:
            text += f"; settings {self.settings}"
        if self.kwargs:
            text += f"; options {self.kwargs}"
        return text


def _repeat_to(array: np.ndarray, axis: int, length: int) -> np.ndarray:
    n = array.shape[axis]
    if n == 0:
        shape = list(array.shape)
        shape[axis] = length
        return np.zeros(shape, array.dtype)
    return np.take(array, np.arange(length) % n, axis=axis)


def perturb_array(draw: Draw, array: np.ndarray, count: int) -> tuple[Any, str, bool]:
    """One change to an input array: (new value, what changed, whether its values are kept)."""
    kind = draw.pick(("rank", "shape", "dtype", "fortran", "strided", "readonly", "byteswapped",
                      "list", "values", "values", "not an array"))
    integer = array.dtype.kind in "iu"
    if kind == "rank":
        new = array[..., None] if draw.chance(50) or array.ndim < 2 else array.reshape(
            array.shape[:-2] + (-1,))
        return new, f"rank {new.ndim}", False
    if kind == "shape":
        axis = draw.integer(0, array.ndim - 1)
        n = array.shape[axis]
        length = draw.pick([v for v in (0, 1, n - 1, n + 1, 2 * n + 1) if v >= 0 and v != n])
        return _repeat_to(array, axis, length), f"axis {axis} of {length}", False
    if kind == "dtype":
        dtypes = ((np.int64, np.int16, np.uint32, np.float64, np.bool_) if integer else
                  (np.float32, np.int64, np.complex128, np.float16, np.bool_, object))
        dtype = draw.pick(dtypes)
        return array.astype(dtype), f"dtype {np.dtype(dtype)}", False
    if kind == "fortran":
        return np.asfortranarray(array), "Fortran order", True
    if kind == "strided":
        return np.repeat(array, 2, axis=-1)[..., ::2], "a strided view", True
    if kind == "readonly":
        new = array.copy()
        new.flags.writeable = False
        return new, "read-only", True
    if kind == "byteswapped":
        return array.astype(array.dtype.newbyteorder()), "byte-swapped", True
    if kind == "list":
        return array.tolist(), "a nested list", True
    if kind == "not an array":
        value = draw.pick((None, "text", 3.5, 7))
        return value, f"{value!r} instead of an array", False
    new = array.copy()
    if new.size == 0:
        return new, "values of an empty array", True
    specials = ((-1, count, count + 1, INT_MAX, INT_MIN) if integer else SPECIAL_FLOATS)
    value = draw.pick(specials)
    flat = new.reshape(-1)
    if draw.chance(20):
        flat[:] = value
        where = "every element"
    else:
        where = f"element {draw.integer(0, flat.size - 1)}"
        flat[int(where.split()[1])] = value
    return new, f"{where} = {value}", False


def perturb_spec(draw: Draw, specs: np.ndarray) -> tuple[Any, str, bool]:
    """One change to the windowing parameters."""
    if draw.chance(15):
        count = draw.pick((0, 1, 21, 23, 44))
        return _repeat_to(specs, 0, count), f"{count} windowing parameters", False
    if draw.chance(15):
        return perturb_array(draw, specs, 0)
    i = draw.integer(0, 21)
    v = int(specs[i])
    value = draw.pick((0, -1, -v, v - 1, v + 1, 2 * v, v + 7, 2**16, 2**30, INT_MAX, INT_MIN))
    new = specs.copy()
    new[i] = value
    return new, f"{SPEC_NAMES[i]} = {value} (was {v})", False


def rare_threads(draw: Draw) -> int:
    return draw.pick([t for t in RARE_THREADS if t <= draw.thread_limit])


def draw_threads(draw: Draw) -> int:
    return rare_threads(draw) if draw.chance(5) else draw.integer(0, 3)


def draw_rows(draw: Draw, room: int) -> int:
    if draw.chance(10):
        return draw.pick((-1, -7, 42, 1000, INT_MAX, INT_MIN))
    return draw.integer(0, room)


def draw_steps(draw: Draw, perturbed: bool) -> tuple:
    if not perturbed:
        return tuple(draw.integer(1, 3) for _ in range(4))
    return tuple(draw.pick((1, 2, 0, -1, -3, 1000, 2**28, INT_MAX, INT_MIN, 2**31))
                 for _ in range(4))


def draw_settings(draw: Draw, b: Base) -> dict:
    """Every process-wide setting, set before a raw call; mostly usable values."""
    return dict(use_simpsons=draw.pick((1, 0, 5, -1)),
                create_lower_edge_adjustment=draw.pick((1, 0)),
                lower_edge_rows_below=draw_rows(draw, b.windows.sofs_y),
                lower_edge_rows_above=draw_rows(draw, 3), diagnostic=draw.pick((0, 0, 0, 1, 2)),
                numthreads=draw_threads(draw) if draw.chance(90) else draw.pick((-5, 0)),
                version=draw.pick((DEFAULT_VERSION, "", "\u00e9" * 700, "v" * 3000)))


def apply_settings(settings: dict) -> None:
    for name in ("use_simpsons", "create_lower_edge_adjustment", "lower_edge_rows_below",
                 "lower_edge_rows_above"):
        lib.cimpl_set_option(name, settings[name])
    lib.cimpl_set_diagnostic(settings["diagnostic"])
    lib.cimpl_set_numthreads(settings["numthreads"])
    lib.cimpl_set_versionstr(settings["version"])


def _golden_options(entry: str, settings: dict, kwargs: dict, after: list,
                    vignetting: bool) -> tuple:
    """The options that decide the matrix, in one form for all three layers."""
    if "infield" in entry:
        if entry == "raw_infield":
            return ("infield", bool(settings["use_simpsons"]),
                    bool(settings["create_lower_edge_adjustment"]),
                    settings["lower_edge_rows_below"], settings["lower_edge_rows_above"])
        simpson = kwargs.get("use_simpsons", kwargs.get("scheme", "quadratic") == "quadratic")
        return ("infield", bool(simpson), bool(kwargs.get("lower_edge", True)),
                kwargs.get("rows_below", 42), kwargs.get("rows_above", 42))
    steps = tuple(after) if entry == "raw_horizontal" else kwargs.get("steps", (1, 1, 1, 1))
    return ("horizontal", tuple(steps), vignetting)


def make_call(draw: Draw, entries: tuple[str, ...] = ENTRIES) -> Call:
    """A call of one of `entries` on a random tiny instrument with at most one thing changed."""
    entry = draw.pick(entries)
    index = draw.integer(0, len(BASES) - 1)
    b = base(index)
    w = b.windows
    matrix = "infield" if "infield" in entry else "horizontal"
    package = entry.endswith("matrix")
    vignetting = matrix == "horizontal" and draw.chance(50)
    call = Call(entry, index, "nothing changed")
    fields = ["nothing", "specs", "psfs", "locations", "coefficients", "indices", "out",
              "options", "threads"]
    if matrix == "horizontal":
        fields += ["vignetting", "steps", "steps"]
    if entry.startswith("build"):
        fields.append("columns")
    if package:
        fields.append("columns")
    changed = draw.pick(fields)
    same_values = True

    # Options that are not the thing changed stay usable.
    if entry.startswith("raw"):
        call.settings = draw_settings(draw, b)
        if changed == "options":
            call.settings["lower_edge_rows_below"] = draw.pick((-1, INT_MAX, INT_MIN, 1000))
        if changed == "threads":
            call.settings["numthreads"] = rare_threads(draw)
        if matrix == "horizontal":
            call.after = list(draw_steps(draw, changed == "steps"))
    else:
        kw = call.kwargs
        threads = draw_threads(draw) if changed != "threads" else draw.pick(
            (rare_threads(draw), INT_MIN, 2**31, "2", 2.0, None))
        if package:
            if threads != 0:
                kw["threads"] = threads
        elif threads is not None:
            kw["threads"] = threads
        if matrix == "infield":
            simpson = draw.chance(50)
            if package:
                kw["scheme"] = "quadratic" if simpson else "midpoint"
            else:
                kw["use_simpsons"] = simpson
            kw.update(lower_edge=draw.chance(50), rows_below=draw_rows(draw, w.sofs_y),
                      rows_above=draw_rows(draw, 3))
        else:
            kw["steps"] = draw_steps(draw, changed == "steps")
        kw["diagnostic"] = draw.chance(10)
        if changed == "options":
            option = draw.pick(("diagnostic", "rows_below", "scheme"))
            kw[option] = draw.pick((2, "yes", None, -1, INT_MAX + 1, "simpson", 1.5))
        if draw.chance(20) or changed == "columns":
            c0 = draw.integer(0, w.k_x - 1)
            kw["columns"] = (c0, draw.integer(c0 + 1, w.k_x))
            if changed == "columns":
                kw["columns"] = draw.pick(((c0, c0), (-1, 1), (0, w.k_x + 1), (1, 0), (c0,),
                                           "ab", (c0, 2**31), (0.0, 1.0)))
    columns = call.kwargs.get("columns")
    call.rows = (columns[0] * w.k_y, columns[1] * w.k_y) if changed != "columns" and columns \
        else (0, w.kk)

    # The inputs, one of them changed.
    if package:
        call.parts = b.parts(vignetting)
        names = {"psfs": "psfs", "locations": "locations", "specs": "specs",
                 "coefficients": "coefficients" if matrix == "infield" else "noof_coefficients",
                 "indices": "indices" if matrix == "infield" else "noof_indices",
                 "vignetting": "vignetting"}
        if changed in names and names[changed] in call.parts:
            name = names[changed]
            change = perturb_spec if name == "specs" else functools.partial(
                perturb_array, count=b.instrument.num_psfs)
            call.parts[name], call.label, same_values = change(draw, call.parts[name])
            call.label = f"{name}: {call.label}"
    else:
        call.before = b.raw(matrix, vignetting)
        order = ["specs", "psfs", "locations", "coefficients", "indices"]
        if matrix == "horizontal":
            order.insert(1, "vignetting")
        if changed in order:
            i = order.index(changed)
            if changed == "specs":
                new, label, same_values = perturb_spec(draw, call.before[i])
            else:
                new, label, same_values = perturb_array(draw, call.before[i],
                                                        b.instrument.num_psfs)
            call.before[i] = new
            call.label = f"{changed}: {label}"
    if changed in ("options", "threads", "steps", "columns"):
        call.label = f"{changed} changed"
        same_values = changed == "threads"

    # The output.
    rows = call.rows[1] - call.rows[0]
    kind = "good"
    if changed == "out":
        kind = draw.pick(("shape", "fortran", "strided", "float32", "byteswapped", "readonly",
                          "1d", "3d", "list", "none") + (() if package else ("overlap",)))
        call.label = f"out: {kind}"
    guard = draw.integer(1, 3)
    if kind == "shape":
        rows, cols = draw.pick(((rows + 1, w.kk), (rows, w.kk - 1), (rows - 1, w.kk + 1),
                                (0, 0), (w.kk * w.kk, 1)))
        call.label += f" ({rows}, {cols})"
        call.out = guarded_out("good", rows, cols, guard)
    elif kind == "overlap":
        names = [n for n, a in enumerate(call.before)
                 if isinstance(a, np.ndarray) and a.dtype == np.float64 and a.size]
        i = draw.pick(names)
        offset = draw.integer(-call.before[i].size + 1, rows * w.kk - 1)
        call.out, call.before[i] = overlapping_out(rows, w.kk, call.before[i], offset)
        call.label += f" with argument {i} at offset {offset}"
    elif package and kind == "good" and draw.chance(30):
        call.out = GuardedOut(None, None, None)  # the builder allocates it
    else:
        call.out = guarded_out(kind, rows, w.kk, guard)
    call.copies = {i: _copy(a) for i, a in enumerate(call.before)} | {
        name: _copy(a) for name, a in call.parts.items()}
    if same_values and kind == "good":
        call.golden = (index,) + _golden_options(entry, call.settings, call.kwargs, call.after,
                                                   vignetting)
    return call


FUNCTIONS = {
    "raw_infield": lib.cimpl_create_deconvolution,
    "raw_horizontal": lib.cimpl_create_horizontal_stray_light_matrix,
    "build_infield": lib.build_infield,
    "build_horizontal": lib.build_horizontal,
    "infield_matrix": corvane.infield_matrix,
    "horizontal_matrix": corvane.horizontal_matrix,
}
# What the entry points raise for arguments they refuse; the package's BuildError is a failure.
REFUSALS = (TypeError, ValueError, OverflowError)


def _copy(value: Any) -> Any:
    """A fresh, C-contiguous, native-order copy of an array; other values as they are."""
    if isinstance(value, np.ndarray):
        return np.array(value, dtype=value.dtype.newbyteorder("="), order="C", copy=True)
    if isinstance(value, list):
        return np.array(value).tolist()
    return value


def invoke(call: Call, out: Any, copies: bool = False, threads: int | None = None) -> Any:
    """Makes the call into `out`; with `copies`, on fresh copies of the inputs, and with
    `threads`, on that many threads."""
    function = FUNCTIONS[call.entry]
    kwargs = dict(call.kwargs)
    if threads is not None:
        kwargs["threads"] = threads
    if call.entry.startswith("raw"):
        settings = dict(call.settings)
        if threads is not None:
            settings["numthreads"] = threads
        apply_settings(settings)
        before = [call.copies[i] for i in range(len(call.before))] if copies else call.before
        return function(*before, out, *call.after)
    if call.entry.startswith("build"):
        before = [call.copies[i] for i in range(len(call.before))] if copies else call.before
        return function(*before, out, **kwargs)
    parts = {name: call.copies[name] if copies else a for name, a in call.parts.items()}
    specs = parts.pop("specs")
    return function(corvane.Instrument(**parts), corvane.Windows.from_specs(specs), out=out,
                    **kwargs)


@functools.lru_cache(maxsize=None)
def golden(key: tuple) -> np.ndarray | None:
    """The whole matrix of an untouched instrument with the given options on one thread, or None
    when the request fails."""
    index, matrix, *options = key
    b = base(index)
    out = np.full((b.kk, b.kk), np.nan)
    with contextlib.redirect_stdout(io.StringIO()):
        if matrix == "infield":
            simpson, lower_edge, below, above = options
            ok = lib.build_infield(*b.raw("infield", False), out, use_simpsons=simpson,
                                   lower_edge=lower_edge, rows_below=below, rows_above=above,
                                   threads=1)
        else:
            steps, vignetting = options
            ok = lib.build_horizontal(*b.raw("horizontal", vignetting), out, steps=steps,
                                      threads=1)
    return out if ok else None


def _says_why(lines: list[str]) -> bool:
    return any(line.startswith(("ERROR", "WARNING")) for line in lines)


def run_call(call: Call) -> tuple[str, list[tuple[str, str]]]:
    """Makes the call and checks it: returns what it gave ("True", "False" or the exception's
    name) and the problems found, each (W, F, U or E, what happened)."""
    problems: list[tuple[str, str]] = []
    text = io.StringIO()
    result: Any = None
    error: Exception | None = None
    with warnings.catch_warnings(), contextlib.redirect_stdout(text):
        warnings.simplefilter("ignore")
        try:
            result = invoke(call, call.out.out)
        except Exception as caught:  # judged below
            error = caught
    lines = text.getvalue().splitlines()
    out = call.out
    if not out.guards_intact():
        problems.append(("W", "bytes beside the output changed"))
    if isinstance(error, corvane.BuildError):
        if out.out is not None and np.asarray(out.out).any():
            problems.append(("U", "BuildError left the output non-zero"))
        if not error.records and call.rows[0] == 0:
            problems.append(("U", "BuildError without the library's reason"))
        if call.golden is not None and golden(call.golden) is not None:
            problems.append(("U", "BuildError where the untouched instrument builds"))
        return "BuildError", problems
    if error is not None:
        name = type(error).__name__
        if not isinstance(error, REFUSALS) or call.entry.endswith("matrix") and isinstance(
                error, OverflowError):
            problems.append(("E", f"{name}: {error}"))
        if not out.untouched():
            problems.append(("W", f"{name} raised but the output changed"))
        return name, problems
    if call.entry.endswith("matrix"):
        if out.out is not None and result is not out.out:
            problems.append(("F", "the builder did not return the out array it was given"))
        matrix, ok = np.asarray(result), True
    else:
        if result is not True and result is not False:
            problems.append(("U", f"returned {result!r}"))
            return repr(result), problems
        matrix, ok = np.asarray(out.out), result
    if not ok:
        if matrix.any():
            problems.append(("U", "False but the output is not all zeros"))
        if not _says_why(lines) and call.rows[0] == 0:
            problems.append(("U", "False without an error or warning line"))
        if call.golden is not None and golden(call.golden) is not None:
            problems.append(("U", "False where the untouched instrument builds"))
        return "False", problems
    problems += _check_success(call, matrix)
    return "True", problems


def _check_success(call: Call, matrix: np.ndarray) -> list[tuple[str, str]]:
    if not np.isfinite(matrix).all():
        return [("F", "True with a matrix that is not finite")]
    problems = []
    for threads in (1, 3):
        fresh = np.full(matrix.shape, np.nan)
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            try:
                again = invoke(call, fresh, copies=True, threads=threads)
            except Exception as error:  # the copies must be taken as the originals were
                again = error
        if again is False or isinstance(again, Exception):
            problems.append(("F", f"True, but on copies with {threads} threads: {again!r}"))
        elif not np.array_equal(fresh, matrix):
            problems.append(("F", f"True, but copies on {threads} threads give another matrix"))
    if call.golden is not None:
        want = golden(call.golden)
        if want is None:
            problems.append(("F", "True where the untouched instrument fails"))
        elif not np.array_equal(want[call.rows[0]:call.rows[1]], matrix):
            problems.append(("F", "True, but the untouched instrument's matrix differs"))
    return problems
