"""Input classification and cell-by-cell conversion."""

import decimal
import random
import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import examples
from vandra import Encoder

NAN = float("nan")


def column_labels(cells):
    """Labels a single object column becomes, recovered through encode/decode."""
    enc = Encoder()
    arr = np.empty((len(cells), 1), dtype=object)
    for i, c in enumerate(cells):
        arr[i, 0] = c
    return list(enc.decode(enc.encode(arr))[:, 0])


def test_overview_example():
    enc = Encoder()
    df = pd.DataFrame({"x": [1.0, 2.0, 3.0], "y": ["b", "a", "b"]})
    out = enc.encode(df)
    assert list(out.columns) == ["x", "y"]
    assert (out.dtypes == np.float64).all()
    assert out["y"].tolist() == [1.0, 0.0, 1.0]
    back = enc.decode(out)
    assert back["y"].tolist() == ["b", "a", "b"]
    assert back["y"].dtype == object
    assert back["x"].tolist() == [1.0, 2.0, 3.0]


def test_mixed_columns_example():
    df = pd.DataFrame(
        {"x": [1.0, 2.5, NAN], "y": ["a", 2, "b"], "z": [1.0, "c", 3.0]}, dtype=object
    )
    enc = Encoder()
    out = enc.encode(df)
    assert np.isnan(out["x"][2]) and out["x"].tolist()[:2] == [1.0, 2.5]
    # y labels: a, 2, b -> sorted 2, a, b; z labels: 1, c, 3.0 -> sorted 1, 3.0, c
    assert out["y"].tolist() == [1.0, 0.0, 2.0]
    assert out["z"].tolist() == [0.0, 2.0, 1.0]
    back = enc.decode(out)
    assert back["y"].tolist() == ["a", "2", "b"]
    assert back["z"].tolist() == ["1", "c", "3.0"]


@pytest.mark.parametrize(
    "obj, name",
    [([1, 2, 3], "list"), (pd.Series([1.0]), "Series"), (np.matrix([[1.0]]), "matrix"),
     (np.ma.masked_array([[1.0]]), "MaskedArray"), (None, "NoneType")],
)
def test_unsupported_types_print_name_and_raise(capfd, obj, name):
    with pytest.raises(TypeError) as info:
        Encoder().encode(obj)
    assert str(info.value) == (
        f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame"
    )
    assert capfd.readouterr().out == name + "\n"


def test_memmap_and_duck_frame_are_accepted(tmp_path):
    mm = np.memmap(tmp_path / "m.dat", dtype=np.int64, mode="w+", shape=(2, 2))
    mm[:] = [[1, 2], [3, 4]]
    assert Encoder().encode(mm).tolist() == [[1.0, 2.0], [3.0, 4.0]]

    class DataFrame:
        columns = ["a", "b"]
        shape = (2, 2)
        values = np.array([["x", 1.0], ["y", 2.0]], dtype=object)

    out = Encoder().encode(DataFrame())
    assert list(out.columns) == ["a", "b"]
    assert out.values.tolist() == [[0.0, 1.0], [1.0, 2.0]]


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("view", [lambda a: a, lambda a: a[::-1], lambda a: a[:, ::-2],
                                  lambda a: a.T, lambda a: a[1:2]])
def test_float64_path_keeps_values_and_yields_no_fit(order, view):
    base = np.array([[0.5, -0.0, np.inf], [NAN, -np.inf, 7.0], [1e300, 2.0, 3.0]], order=order)
    arr = view(base)
    enc = Encoder()
    out = enc.encode(arr)
    assert out.dtype == np.float64 and out.shape == arr.shape
    assert np.array_equal(out, arr, equal_nan=True)
    assert np.array_equal(np.signbit(out), np.signbit(arr))
    # no FitState: decode builds exactly what encode builds
    assert enc.decode(arr).dtype == np.float64


def test_fortran_float64_result_is_fortran():
    arr = np.asfortranarray(np.arange(6.0).reshape(2, 3))
    assert Encoder().encode(arr).flags.f_contiguous


@pytest.mark.parametrize(
    "arr",
    [np.array([[1, 2], [3, 4]]), np.array([[1, 2]], dtype=np.float32),
     np.array([[True, False]]), np.array([[1.5, 2.0]], dtype=">f8")],
)
def test_other_dtypes_take_the_cell_path(arr):
    enc = Encoder()
    out = enc.encode(arr)
    assert out.dtype == np.float64
    assert out.tolist() == arr.astype(float).tolist()
    back = enc.decode(arr)  # empty FitState: object array of floats
    assert back.dtype == object
    assert all(type(v) is float for v in back.ravel())


@pytest.mark.parametrize("arr", [np.zeros(3), np.zeros((2, 2, 2)), np.array(1.0)])
def test_shape_not_a_pair_is_internal_error(InternalError, arr):
    with pytest.raises(InternalError):
        try:
            Encoder().encode(arr.astype(object))
        except Exception:  # must not be catchable as Exception
            pytest.fail("internal error caught as Exception")


def test_internal_error_is_a_base_exception(InternalError):
    assert issubclass(InternalError, BaseException)
    assert not issubclass(InternalError, Exception)
    assert InternalError.__bases__ == (BaseException,)


@pytest.mark.parametrize(
    "cells, labels",
    [
        (["a", 1, 2.5], ["a", "1", "2.5"]),
        ([1, 2.5, "a"], ["1", "2.5", "a"]),
        ([1.0, "a", 1.0], ["1", "a", "1.0"]),
        ([1.0, None], ["1", "None"]),
        ([0.1 + 0.2, 1e20, 1e-7, -0.0, "x"],
         ["0.30000000000000004", "100000000000000000000", "0.0000001", "-0", "x"]),
        ([np.inf, -np.inf, "x"], ["inf", "-inf", "x"]),
        ([2**53 + 1, "x"], ["9007199254740992", "x"]),
        ([1e23, 2.0**64, 12345678901234567890, "x"],
         ["1" + "0" * 23, "18446744073709552000", "12345678901234567000", "x"]),
        ([-1e300, 1.5e-300, "x"], ["-1" + "0" * 300, "0." + "0" * 299 + "15", "x"]),
        ([10**400], [str(10**400)]),
        (["1.5", decimal.Decimal("1.5")], ["1.5", "1.5"]),
        ([True, "x", True], ["1", "x", "True"]),
        (["a\ud800b"], ["a\ufffd\ufffd\ufffdb"]),
        (["\U0001F600", "a\0b"], ["\U0001F600", "a\0b"]),
    ],
)
def test_cell_text_rules(cells, labels):
    assert column_labels(cells) == labels


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=8))
def test_numbers_before_text_are_their_shortest_digits_written_out(numbers):
    # repr() gives the shortest round-trip digits; the label writes them without exponent.
    expected = [format(decimal.Decimal(repr(x)).normalize(), "f") for x in numbers]
    assert column_labels([*numbers, "x"]) == expected + ["x"]
    codes = Encoder().encode(np.array([[x] for x in [*numbers, "5"]], dtype=object))[:, 0]
    assert codes.tolist() == [sorted(set(expected + ["5"])).index(t) for t in expected + ["5"]]


@pytest.mark.parametrize(
    "cells, expected",
    [([NAN, "x"], [NAN, 0.0]), (["x", NAN], [0.0, NAN]), (["<NA>", "b", pd.NA], [NAN, 0.0, NAN])],
)
def test_missing_values_become_nan(cells, expected):
    arr = np.array(cells, dtype=object).reshape(-1, 1)
    out = Encoder().encode(arr)[:, 0]
    assert np.array_equal(out, np.array(expected), equal_nan=True)


def test_numeric_column_stays_numeric():
    arr = np.array([[decimal.Decimal("1.5")], [2], [True]], dtype=object)
    enc = Encoder()
    assert enc.encode(arr)[:, 0].tolist() == [1.5, 2.0, 1.0]
    assert [type(v) for v in enc.decode(arr)[:, 0]] == [float] * 3


@pytest.mark.parametrize(
    "columns, names",
    [(None, ["0", "1"]), (["p", "q"], ["p", "q"]), ([10, -3], ["10", "-3"]),
     ([True, False], ["1", "0"])],
)
def test_frame_column_labels(columns, names):
    df = pd.DataFrame([[1.0, 2.0]], columns=columns)
    assert list(Encoder().encode(df).columns) == names


@pytest.mark.parametrize("columns, exc", [([1.5, 2.5], TypeError), (["a", 1], TypeError),
                                          ([2**70, 1], OverflowError),
                                          (["a", "\ud800"], TypeError)])  # no UTF-8 form
def test_frame_column_labels_rejected(columns, exc):
    df = pd.DataFrame([[1.0, 2.0]], columns=pd.Index(columns, dtype=object))
    with pytest.raises(exc):
        Encoder().encode(df)


def test_empty_frames():
    enc = Encoder()
    out = enc.encode(pd.DataFrame({"a": [], "b": []}, dtype=object))
    assert out.shape == (0, 2) and list(out.columns) == ["a", "b"]
    out = enc.encode(pd.DataFrame(index=range(3)))
    assert out.shape == (3, 0) and list(out.columns) == []


@pytest.mark.parametrize("hook", ["__float__", "__str__"])
def test_cell_that_clears_its_own_slot_is_held(hook):
    # The hook is a static method, so no frame of it holds the cell: once its slot is cleared the
    # cell lives only if the conversion holds it, and look-alikes would take its memory.
    arr = np.empty((3, 1), dtype=object)
    reuse = []

    class Other:
        def __str__(self):
            return "freed"

    def clear_slot(result):
        arr[1, 0] = None
        reuse.extend(Other() for _ in range(100))
        if result is None:
            raise TypeError
        return result

    class Cell:
        __float__ = staticmethod(lambda: clear_slot(None)) if hook == "__float__" else None
        __str__ = staticmethod(lambda: clear_slot("cell")) if hook == "__str__" else (
            lambda self: "cell")

    arr[0, 0], arr[1, 0], arr[2, 0] = 1.0, Cell(), "b"  # the cell turns its column text
    enc = Encoder()
    codes = enc.encode(arr)
    assert enc.decode(codes)[:, 0].tolist() == ["1", "cell", "b"]


def test_many_numbers_before_the_first_text_keep_their_labels():
    # Thousands of rendered numbers must stay where their labels point while more are added.
    cells = [i * 0.5 for i in range(5000)] + ["text"]
    arr = np.array(cells, dtype=object).reshape(-1, 1)
    enc = Encoder()
    back = enc.decode(enc.encode(arr))[:, 0].tolist()
    assert back == [repr(v).removesuffix(".0") for v in cells[:-1]] + ["text"]


def test_failing_str_is_internal_error(InternalError):
    class Bad:
        def __str__(self):
            raise ValueError("boom")

    arr = np.array([["a"], [Bad()]], dtype=object)
    with pytest.raises(InternalError, match="^cant convert to str"):
        Encoder().encode(arr)


@pytest.mark.parametrize(
    "attrs",
    [{"shape": (2,)}, {"shape": [1, 1]}, {"shape": (-1, 1)}, {"shape": (1.0, 1)},
     {"shape": (np.int64(-1), 1)}, {"shape": (2**62, 2**62)}, {}],
)
def test_bad_duck_shapes_are_internal_errors(InternalError, attrs):
    cls = type("DataFrame", (), {"columns": ["a"], "values": np.zeros((1, 1)), **attrs})
    with pytest.raises(InternalError):
        Encoder().encode(cls())


def test_duck_shape_entries_convert_like_integers():
    cls = type("DataFrame", (), {"columns": ["a"], "values": np.array([["x"]], dtype=object),
                                 "shape": (np.int64(1), np.uint8(1))})
    assert Encoder().encode(cls()).values.tolist() == [[0.0]]


def test_missing_values_or_failing_item_access(InternalError):
    no_values = type("DataFrame", (), {"columns": ["a"], "shape": (1, 1)})
    with pytest.raises(InternalError):
        Encoder().encode(no_values())
    short = type("DataFrame", (), {"columns": ["a"], "shape": (5, 1), "values": np.zeros((1, 1))})
    with pytest.raises(InternalError):
        Encoder().encode(short())
    # values is read before any cell, also when there is none
    failing = type("DataFrame", (), {"columns": ["a"], "shape": (0, 1),
                                     "values": property(lambda self: {}["values"])})
    with pytest.raises(InternalError, match="KeyError"):
        Encoder().encode(failing())


def foreign_frame(module):
    """A frame of another library: type named DataFrame, columns and shape, no values."""
    return type("DataFrame", (), {"__module__": module, "columns": ["a"], "shape": (1, 1)})()


@pytest.mark.parametrize(
    "obj, wanted, absent",
    [
        (np.zeros(3, dtype=object), [r"got \(3,\)", r"reshape\(-1, 1\)"], "thread"),
        (np.zeros((2, 2, 2), dtype=object), [r"got \(2, 2, 2\)"], "reshape"),
        (foreign_frame("polars.dataframe.frame"),
         [r"of a polars\.dataframe\.frame\.DataFrame ", "a pandas.DataFrame is expected",
          r"\.to_pandas\(\)", "AttributeError: 'DataFrame' object has no attribute 'values'"],
         "thread"),
        (foreign_frame("otherlib"), ["of a otherlib.DataFrame ", "pandas.DataFrame"], "polars"),
    ],
)
def test_internal_errors_say_what_they_got(InternalError, capfd, obj, wanted, absent):
    with pytest.raises(InternalError) as info:
        Encoder().encode(obj)
    err = capfd.readouterr().err
    for text in wanted:
        assert re.search(text, str(info.value)) and re.search(text, err)
    assert absent not in str(info.value) and absent not in err
    assert err.startswith("vandra: internal error: ")


@pytest.mark.parametrize(
    "columns, exc, message, position, label",
    [
        (pd.MultiIndex.from_tuples([("a", "x"), ("a", "y")]), TypeError,
         "'tuple' object cannot be interpreted as an integer", 0, "('a', 'x')"),
        ([1.5, 2.5], TypeError, "'float' object cannot be interpreted as an integer", 0, "1.5"),
        ([1, 2**70], OverflowError, "int too big to convert", 1, str(2**70)),
    ],
)
def test_bad_column_labels_keep_their_error_with_a_note(columns, exc, message, position,
                                                        label):
    df = pd.DataFrame([[1.0, 2.0]], columns=columns)
    with pytest.raises(exc) as info:
        Encoder().encode(df)
    assert type(info.value) is exc and str(info.value) == message
    assert info.value.__notes__ == [
        "column labels must be all texts or all integers (signed 64-bit); "
        f"column {position}'s label is {label}"]


def test_failing_columns_passes_the_error_on():
    class DataFrame:
        @property
        def columns(self):
            raise KeyError("no columns")

    with pytest.raises(KeyError):
        Encoder().encode(DataFrame())


class FreshItems:
    """Hands out a new str on every item access, freed as soon as the reader lets it go, so
    that the next one is likely made at the same address."""

    def __init__(self, texts):
        self.texts = texts
        self.shape = (len(texts), 1)

    def __getitem__(self, key):
        return "".join(list(self.texts[key[0]]))


def fresh_inputs(texts):
    ndarray = type("ndarray", (FreshItems,), {})
    frame = type("DataFrame", (), {"columns": ["a"], "shape": (len(texts), 1),
                                   "values": FreshItems(texts)})
    yield "duck ndarray", ndarray(texts)
    yield "duck DataFrame", frame()
    if hasattr(np.dtypes, "StringDType"):
        yield "StringDType", np.array(texts, dtype="T").reshape(-1, 1)


def test_fresh_cells_get_the_labels_of_their_own_text():
    rng = random.Random(17)
    texts = ["".join(rng.choices("abcdefgh", k=rng.randint(1, 4))) for _ in range(3000)]
    reference = Encoder()
    want = reference.encode(np.array(texts, dtype=object).reshape(-1, 1))
    for name, obj in fresh_inputs(texts):
        enc = Encoder()
        got = np.asarray(enc.encode(obj), dtype=float)
        assert np.array_equal(got, want), name
        assert enc.decode(want)[:, 0].tolist() == texts, name  # the same fit
        assert np.asarray(reference.decode(obj))[:, 0].tolist() == texts, name


class FreshDecimals(FreshItems):
    """A new Decimal on every item access (column 1 turns text at its first row)."""

    def __init__(self, values):
        super().__init__(values)
        self.shape = (len(values), 2)

    def __getitem__(self, key):
        i, j = key
        return "x" if j == 1 and i == 0 else decimal.Decimal(self.texts[i])


def test_fresh_decimals_get_their_own_number_and_label():
    rng = random.Random(24)
    values = [f"{rng.randint(-999, 999)}.{rng.randint(0, 99)}" for _ in range(3000)]
    ndarray = type("ndarray", (FreshDecimals,), {})
    enc = Encoder()
    got = enc.encode(ndarray(values))
    assert got[:, 0].tolist() == [float(v) for v in values]
    assert enc.decode(got)[1:, 1].tolist() == [str(decimal.Decimal(v)) for v in values[1:]]


@settings(max_examples=examples(300), deadline=None)
@given(st.one_of(st.floats(), st.none(), st.booleans(), st.decimals(allow_nan=True),
                 st.just(decimal.Decimal("sNaN"))))
def test_cells_after_the_first_text_take_their_str(cell):
    # None, bools and floats are written without str(), Decimals remembered by identity.
    text = str(cell)
    want = "NaN" if text in ("nan", "NaN") else text  # a missing label decodes as "NaN"
    assert column_labels(["x", cell, cell]) == ["x", want, want]
