"""Exact pandas frames are read column by column, from each column's own array: the result,
the stored fit and every error must be what reading the frame's `values` cell by cell gives.
The reference reads `values` through a stand-in class named "DataFrame"."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import examples
from vandra import Encoder

try:
    import pyarrow as pa
except ImportError:
    pa = None


class DataFrame:
    """Not pandas' class, so it is read through `values` as any duck frame is (when encode
    asks for it, so that an error there is encode's)."""

    def __init__(self, frame):
        self.columns, self.shape, self.frame = frame.columns, frame.shape, frame

    @property
    def values(self):
        return self.frame.values


def outcome(call):
    try:
        return "ok", call()
    except BaseException as e:  # noqa: B036 - the internal error too
        return "error", (type(e), str(e))


def same(a, b):
    if a[0] != b[0] or a[0] == "error":
        return a == b
    x, y = a[1], b[1]
    return (x.equals(y) and list(x.columns) == list(y.columns)
            and list(x.dtypes) == list(y.dtypes)
            and x.map(type).equals(y.map(type)))  # str / None / float per cell


def assert_same_as_values(frame):
    direct, reference = Encoder(), Encoder()
    got = outcome(lambda: direct.encode(frame))
    want = outcome(lambda: reference.encode(DataFrame(frame)))
    assert same(got, want), (got, want)
    if got[0] == "ok":
        codes = got[1]
        # the same fit: both decode the codes (and a frame read anew) to the same labels
        assert same(outcome(lambda: direct.decode(codes)),
                    outcome(lambda: reference.decode(codes)))
        assert same(outcome(lambda: direct.decode(frame)),
                    outcome(lambda: reference.decode(DataFrame(frame))))


class Cell:
    """A cell with a float conversion, and one whose str() fails."""

    def __init__(self, ok):
        self.ok = ok

    def __float__(self):
        if self.ok:
            return 2.5
        raise TypeError

    def __str__(self):
        if self.ok:
            return "cell"
        raise ValueError("no text")


TEXT_DTYPES = ["object", "string[python]", pd.StringDtype("python", na_value=np.nan)
               if pd.__version__ >= "2.3" else "string[python]"]
if pa is not None:
    TEXT_DTYPES += ["string[pyarrow]", pd.ArrowDtype(pa.string()),
                    pd.ArrowDtype(pa.large_string()),
                    pd.StringDtype("pyarrow", na_value=np.nan) if pd.__version__ >= "2.3"
                    else "string[pyarrow_numpy]"]
TEXTS = st.one_of(st.sampled_from(["a", "b", "nan", "NaN", "<NA>", "", "é", "1.5", "10"]),
                  st.text(st.characters(exclude_categories=["Cs"]), max_size=4))
MISSING = st.sampled_from([None, np.nan])


@st.composite
def column(draw, rows):
    kind = draw(st.sampled_from(["float64", "float32", "int8", "uint16", "int64", "uint64",
                                 "bool", "object", "text", "text", "fallback"]))
    if kind == "object":
        cells = draw(st.lists(st.one_of(TEXTS, st.floats(), st.integers(-2**70, 2**70),
                                        MISSING, st.just(pd.NA), st.booleans(),
                                        st.builds(Cell, st.booleans())),
                              min_size=rows, max_size=rows))
        return pd.Series(cells, dtype=object)
    if kind == "text":
        dtype = draw(st.sampled_from(TEXT_DTYPES))
        numbers_first = draw(st.booleans())  # leading missing cells, then text
        missing = st.none() if isinstance(dtype, pd.ArrowDtype) else MISSING
        cells = draw(st.lists(st.one_of(TEXTS, missing), min_size=rows, max_size=rows))
        if numbers_first:
            cells = [None] * (rows // 2) + cells[rows // 2:]
        return pd.Series(cells, dtype=dtype)
    if kind == "fallback":  # dtypes that keep the `values` path for the whole frame
        dtype = draw(st.sampled_from(["float16", "Sparse[int64]"]))
        values = draw(st.lists(st.integers(0, 3), min_size=rows, max_size=rows))
        return pd.Series(values, dtype=dtype)
    values = draw(st.lists(st.integers(0, 255), min_size=rows, max_size=rows))
    series = pd.Series(np.array(values).astype(kind))
    if kind.startswith("float") and rows:
        series.iloc[draw(st.integers(0, rows - 1))] = np.nan
    return series


@st.composite
def frames(draw):
    rows = draw(st.integers(0, 6))
    ncols = draw(st.integers(0, 5))
    cols = [draw(column(rows)) for _ in range(ncols)]
    names = draw(st.sampled_from(["text", "repeated", "integers"]))
    labels = {"text": [f"c{j}" for j in range(ncols)], "repeated": ["x"] * ncols,
              "integers": list(range(ncols))}[names]
    frame = pd.concat(cols, axis=1, ignore_index=True) if cols else pd.DataFrame(
        index=range(rows))
    frame.columns = labels
    if draw(st.booleans()):  # chunked Arrow columns, and a non-default index
        frame = pd.concat([frame, frame], ignore_index=draw(st.booleans()))
    if draw(st.booleans()) and len(frame) > 1:  # a slice: array offsets
        frame = frame.iloc[1:]
    return frame


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frames())
def test_columns_read_like_values(frame):
    assert_same_as_values(frame)


def test_frames_of_plain_dtypes_never_read_values(monkeypatch, InternalError):
    frame = pd.DataFrame({"f": [1.5, np.nan], "i": [1, 2], "b": [True, False],
                          "o": pd.Series(["x", 1], dtype=object), "s": ["a", None],
                          "p": pd.Series(["a", None], dtype="string[python]")})
    expected = Encoder().encode(frame)

    def refuse(self):
        raise AssertionError("values read")

    monkeypatch.setattr(pd.DataFrame, "values", property(refuse))
    assert Encoder().encode(frame).equals(expected)
    with pytest.raises(InternalError, match="values read"):  # other dtypes still read it
        Encoder().encode(frame.assign(t=pd.Interval(0, 1)))
