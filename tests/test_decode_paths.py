"""Results built in one step (frames from pandas' own constructor, object arrays made in C++)
must equal what the general call sequence builds: column by column through pandas' indexers
for frames, numpy's astype and item assignment for arrays."""

import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import examples
from vandra import Encoder

CELLS = st.one_of(st.integers(-2, 6).map(float), st.sampled_from(
    [np.nan, 2.7, -1.0, np.inf, -np.inf, 1e30, 0.5]))


def fitted_encoder(ncols, names, text_every=2):
    """An encoder fitted on a frame whose every `text_every`-th column is text (labels a..d,
    one missing), starting with the first."""
    data = {}
    for j in range(ncols):
        data[j] = (pd.Series(["b", "a", np.nan, "d", "c", "a"], dtype=object)
                   if j % text_every == 0
                   else pd.Series(np.arange(6.0)))
    frame = pd.DataFrame(data)
    frame.columns = names
    enc = Encoder()
    enc.encode(frame)
    return enc


def array_reference(floats, enc, fit_frame_cols):
    """The general sequence: every cell a Python float, then labels by item assignment."""
    out = np.array(floats).astype(object)
    labels = {j: dict(enumerate(["a", "b", "c", "d"])) for j in fit_frame_cols}
    for j, by_code in labels.items():
        for i in range(out.shape[0]):
            x = floats[i, j]
            code = 0 if x < 0 else (2**64 - 1 if x >= 2**64 else int(x)) if x == x else None
            out[i, j] = by_code.get(code, "NaN") if code is not None else "NaN"
    return out


# Frames are built from their blocks where pandas has create_dataframe_from_blocks; else few
# encoded columns are put in place one by one, many (16 or more) in one frame built at once:
# from one run of label columns, or from runs of both kinds.
@settings(max_examples=examples(60), deadline=None)
@given(st.one_of(st.integers(1, 12), st.integers(31, 40)), st.sampled_from([1, 2, 3]),
       st.sampled_from(["distinct", "repeated", "integers"]), st.integers(0, 5), st.data())
def test_frame_decode_in_one_step_equals_the_indexer_sequence(ncols, text_every, names,
                                                                 rows, data):
    names = {"distinct": [f"c{j}" for j in range(ncols)], "repeated": ["x"] * ncols,
             "integers": list(range(ncols))}[names]
    floats = np.array(data.draw(st.lists(st.lists(CELLS, min_size=ncols, max_size=ncols),
                                         min_size=rows, max_size=rows)), dtype=float)
    codes = pd.DataFrame(floats.reshape(rows, ncols), columns=names)
    enc = fitted_encoder(ncols, names, text_every)
    fast = enc.decode(codes)
    internals = sys.modules.get("pandas.api.internals")
    with pytest.MonkeyPatch.context() as mp:
        if internals is not None:
            mp.delattr(internals, "create_dataframe_from_blocks", raising=False)
        without_blocks = enc.decode(codes)

    class DataFrame(pd.DataFrame):  # a stand-in for pandas' class: the general sequence
        pass

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(pd, "DataFrame", DataFrame)
        general = enc.decode(codes)
    assert type(general) is DataFrame
    for got in (fast, without_blocks):
        assert type(got) is pd.DataFrame
        assert got.equals(general) and list(got.columns) == list(general.columns)
        assert got.columns.dtype == general.columns.dtype
        assert list(got.dtypes) == list(general.dtypes)
        assert got.index.equals(general.index) and isinstance(got.index, pd.RangeIndex)
        assert got.map(type).equals(general.map(type))


@pytest.mark.skipif(not hasattr(sys.modules.get("pandas.api.internals"),
                            "create_dataframe_from_blocks"), reason="pandas before 3")
@pytest.mark.parametrize("ncols", [4, 40])  # one by one, and at once, without the blocks route
def test_frame_decode_is_built_from_blocks_where_pandas_can(ncols, monkeypatch):
    # A silent fallback to the per-column or the joined route fails here.
    names = [f"c{j}" for j in range(ncols)]
    enc = fitted_encoder(ncols, names)

    def refuse(*args, **kwargs):
        raise AssertionError("decoded column by column or by concat")

    monkeypatch.setattr(pd.DataFrame, "isetitem", refuse)
    monkeypatch.setattr(pd, "concat", refuse)
    decoded = enc.decode(pd.DataFrame(np.zeros((3, ncols)), columns=names))
    assert decoded["c0"].tolist() == ["a"] * 3 and decoded["c1"].tolist() == [0.0] * 3


@settings(max_examples=examples(40), deadline=None)
@given(st.integers(1, 6), st.integers(0, 5), st.data())
def test_array_decode_in_one_step_equals_astype_and_assignment(ncols, rows, data):
    floats = np.array(data.draw(st.lists(st.lists(CELLS, min_size=ncols, max_size=ncols),
                                         min_size=rows, max_size=rows)), dtype=float)
    floats = floats.reshape(rows, ncols)
    enc = fitted_encoder(ncols, [f"c{j}" for j in range(ncols)])
    got = enc.decode(floats)
    want = array_reference(floats, enc, range(0, ncols, 2))
    assert got.dtype == object and got.shape == want.shape
    assert [[type(v) for v in r] for r in got.tolist()] == [[type(v) for v in r]
                                                             for r in want.tolist()]
    assert all(a == b or (a != a and b != b) for a, b in zip(got.ravel(), want.ravel()))


@pytest.mark.parametrize("rows", [40_000, 200_000])  # on the pool, in several pieces
@pytest.mark.parametrize("ncols", [4, 33])  # column by column, and in one step
def test_long_frame_decode_equals_the_indexer_sequence_one_reference_per_cell(rows, ncols):
    rng = np.random.default_rng(rows)
    cells = np.array([np.nan, 2.7, -1.0, np.inf, 1e30, 0.0, 1.0, 2.0, 3.0, 0.5])
    names = [f"c{j}" for j in range(ncols)]
    codes = pd.DataFrame(rng.choice(cells, size=(rows, ncols)), columns=names)
    enc = fitted_encoder(ncols, names)
    fast = enc.decode(codes)

    class DataFrame(pd.DataFrame):
        pass

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(pd, "DataFrame", DataFrame)
        general = enc.decode(codes)
    assert fast.equals(general) and fast.map(type).equals(general.map(type))
    column = fast["c2"].to_numpy()
    for label in "abcd":
        first = column[np.flatnonzero(column == label)[0]]
        holders = sum(v is first for v in column)
        assert holders == np.count_nonzero(column == label)  # one str per label
        assert sys.getrefcount(first) == holders + 2  # the cells, `first`, the call's argument
