"""Arguments the module refuses before any library code runs: exception types and texts, and the
output array left as it was."""

import re

import numpy as np
import pytest
from conftest import SENTINEL, lib

H = "cimpl_create_horizontal_stray_light_matrix"
DIMENSIONS = "Array must have {} dimensions.  Given array has {} dimensions"
NOT_CONTIGUOUS = "Array must be contiguous.  A non-contiguous array was given"


def raises(exception, text):
    return pytest.raises(exception, match="^" + re.escape(text) + "$")


@pytest.mark.parametrize("call, text", [
    (lambda a: lib.cimpl_create_deconvolution(*a[:5]),
     "cimpl_create_deconvolution expected 6 arguments, got 5"),
    (lambda a: lib.cimpl_create_deconvolution(*a, 1),
     "cimpl_create_deconvolution expected 6 arguments, got 7"),
    (lambda a: lib.cimpl_create_deconvolution(),
     "cimpl_create_deconvolution expected 6 arguments, got none"),
    (lambda a: lib.cimpl_create_horizontal_stray_light_matrix(*a, 1, 1, 1, 1),
     H + " expected 11 arguments, got 10"),
    (lambda a: lib.cimpl_create_horizontal_stray_light_matrix(),
     H + " expected 11 arguments, got none"),
    (lambda a: lib.cimpl_set_option("use_simpsons"),
     "cimpl_set_option expected 2 arguments, got 1"),
    (lambda a: lib.cimpl_set_option(), "cimpl_set_option expected 2 arguments, got none"),
])
def test_wrong_argument_counts(case, capsys, call, text):
    out = case.output()
    with raises(TypeError, text):
        call(case.infield_args(out))
    assert (out == SENTINEL).all()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name, bad, wanted, given", [
    ("specs", np.zeros((2, 11), np.int32), 1, 2),
    ("psfs", np.zeros((4, 4)), 3, 2),
    ("locations", np.zeros(12), 2, 1),
    ("coeffs", np.zeros((1, 2, 3, 4)), 3, 4),
    ("indices", np.zeros((1, 2), np.int32), 3, 2),
])
def test_inputs_with_wrong_dimensions(case, name, bad, wanted, given):
    out = case.output()
    with raises(TypeError, DIMENSIONS.format(wanted, given)):
        lib.cimpl_create_deconvolution(*case.infield_args(out, **{name: bad}))
    assert (out == SENTINEL).all()


def test_input_that_numpy_cannot_convert_raises_numpys_error(case):
    out = case.output()
    with pytest.raises(ValueError):
        lib.cimpl_create_deconvolution(*case.infield_args(out, psfs=[[["not a number"]]]))
    with pytest.raises(TypeError, match="int64"):  # no silent narrowing of int64 to int32
        lib.cimpl_create_deconvolution(*case.infield_args(out, indices=case.indices.astype(int)))
    assert (out == SENTINEL).all()


@pytest.mark.parametrize("bad, description", [
    (None, "Python None"), ("text", "string"), (3, "int"), (2.5, "float"), ({}, "dict"),
    ((), "tuple"), ([[0.0]], "list"), (len, "callable"), (object(), "unknown type"),
])
def test_output_that_is_not_an_array(case, bad, description):
    with raises(TypeError, f"Array of type 'double' required.  A '{description}' was given"):
        lib.cimpl_create_deconvolution(*case.infield_args(bad))
    with raises(TypeError, f"Array of type 'double' required.  A '{description}' was given"):
        lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(bad))


@pytest.mark.parametrize("dtype, name", [
    (np.float32, "float"), (np.int32, "int"), (np.int64, "long"), (np.complex128, "complex double"),
    (np.float16, "half"), (np.bool_, "bool"),
])
def test_output_of_another_type_is_left_untouched(case, dtype, name):
    kk = case.windows.KK
    out = np.full((kk, kk), 3, dtype=dtype)
    with raises(TypeError, f"Array of type 'double' required.  Array of type '{name}' given"):
        lib.cimpl_create_deconvolution(*case.infield_args(out))
    assert (out == np.full((kk, kk), 3, dtype=dtype)).all()


def test_outputs_the_module_cannot_write_in_place(case, capsys):
    kk = case.windows.KK
    wide = np.full((kk, 2 * kk), SENTINEL)
    readonly = case.output()
    readonly.setflags(write=False)
    bad_outputs = [
        (np.full(kk * kk, SENTINEL), DIMENSIONS.format(2, 1)),
        (np.full((kk, kk, 1), SENTINEL), DIMENSIONS.format(2, 3)),
        (wide[:, ::2], NOT_CONTIGUOUS),
        (np.asfortranarray(case.output()), NOT_CONTIGUOUS),
        (case.output().astype(">f8"),
         "Array must have native byteorder.  A byte-swapped array was given"),
        (readonly, "Array must be writeable.  A read-only array was given"),
    ]
    for out, text in bad_outputs:
        before = out.copy()
        with raises(TypeError, text):
            lib.cimpl_create_deconvolution(*case.infield_args(out))
        with raises(TypeError, text):
            lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(out))
        np.testing.assert_array_equal(out, before)
    assert (wide == SENTINEL).all()
    assert capsys.readouterr().out == ""  # the library was never called


@pytest.mark.parametrize("position, argument", [(0, 24), (1, 25), (2, 26), (3, 27)])
def test_horizontal_steps_must_be_32_bit_ints(case, position, argument):
    text = f"in method '{H}', argument {argument} of type 'int'"
    for bad, exception in ((2.0, TypeError), ("2", TypeError), (np.int64(2), TypeError),
                           (2**31, OverflowError), (-2**31 - 1, OverflowError)):
        steps = [1, 1, 1, 1]
        steps[position] = bad
        out = case.output()
        with raises(exception, text):
            lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(out, steps=steps))
        assert (out == SENTINEL).all()


def test_setter_arguments(capsys):
    for setter in ("cimpl_set_diagnostic", "cimpl_set_numthreads"):
        function = getattr(lib, setter)
        with raises(TypeError, f"in method '{setter}', argument 1 of type 'int'"):
            function("1")
        with raises(OverflowError, f"in method '{setter}', argument 1 of type 'int'"):
            function(2**31)
        with pytest.raises(TypeError):
            function()
    for name in (b"use_simpsons", "use_simpsons\0", "\udc80"):  # bytes, embedded NUL, surrogate
        with raises(TypeError, "in method 'cimpl_set_option', argument 1 of type 'char const *'"):
            lib.cimpl_set_option(name, 0)
    with raises(TypeError, "in method 'cimpl_set_option', argument 2 of type 'int'"):
        lib.cimpl_set_option("use_simpsons", 1.0)
    with raises(OverflowError, "in method 'cimpl_set_option', argument 2 of type 'int'"):
        lib.cimpl_set_option("use_simpsons", -2**31 - 1)
    with raises(TypeError, "in method 'cimpl_set_versionstr', argument 1 of type 'char const *'"):
        lib.cimpl_set_versionstr(None)
    assert lib.cimpl_set_option("use_simpsons", 2**31 - 1) is True
    assert capsys.readouterr().out == ""
    assert lib.cimpl_set_diagnostic(-2**31) is True
    assert lib.cimpl_set_numthreads(2) is True
    assert lib.cimpl_set_versionstr("v") is True
