"""Output construction and the encode/decode contract."""

import numpy as np
import pandas as pd
import pytest

from vandra import Encoder

NAN = float("nan")


def fitted(labels=("a", "b")):
    """An encoder fitted on a (1.5.., labels) two-column object array."""
    enc = Encoder()
    arr = np.array([[1.5, labels[0]], [2.5, labels[1]]], dtype=object)
    enc.encode(arr)
    return enc


def test_worked_example_both_forms():
    enc = fitted()  # column 1: a -> 0, b -> 1
    m = np.array([[1.5, 1.0], [2.5, 0.0], [3.5, NAN]])
    arr = enc.decode(m)
    assert arr.dtype == object
    assert arr.tolist() == [[1.5, "b"], [2.5, "a"], [3.5, "NaN"]]
    assert all(type(v) is float for v in arr[:, 0])
    df = enc.decode(pd.DataFrame(m, columns=["p", "q"]))
    assert df["p"].dtype == np.float64
    assert df["q"].dtype == object
    assert df["q"].tolist() == ["b", "a", None]


@pytest.mark.parametrize("value, label", [(2.7, None), (-1.0, "a"), (np.inf, None),
                                          (-np.inf, "a"), (1.0, "b"), (1e30, None)])
def test_code_truncation_and_saturation(value, label):
    enc = fitted()
    assert enc.decode(np.array([[0.0, value]]))[0, 1] == (label or "NaN")
    assert enc.decode(pd.DataFrame([[0.0, value]]))["1"][0] == label


def test_fractional_code_reads_as_its_integer_part():
    enc = fitted(("a", "b"))
    # 1.9 -> code 1 -> 'b'
    assert enc.decode(np.array([[0.0, 1.9]]))[0, 1] == "b"


def test_result_form_follows_the_decoded_object():
    enc = Encoder()
    enc.encode(pd.DataFrame({"x": [1.0], "y": ["k"]}))
    assert enc.decode(np.array([[9.0, 0.0]])).tolist() == [[9.0, "k"]]
    enc2 = fitted()
    out = enc2.decode(pd.DataFrame([[1.0, 0.0]], columns=["u", "v"]))
    assert out["v"].tolist() == ["a"]


def test_frame_result_has_default_index_and_str_columns():
    df = pd.DataFrame({"x": [1.0, 2.0], 5: ["a", "b"]}, index=[10, 20])
    df.columns = pd.Index(["x", "5"])
    out = Encoder().encode(df)
    assert list(out.index) == [0, 1]
    assert list(out.columns) == ["x", "5"]


@pytest.mark.parametrize("columns", [pd.Index(["a", "b"]), pd.Index(["a", "b"], name="n"),
                                     pd.Index(["a", "b"], dtype=object)])
def test_frame_result_columns_are_those_the_texts_give(columns):
    # The input's Index may stand in for the list of texts only where pandas makes the same
    # Index of them, and then as a copy of its own: renaming one leaves the other alone.
    df = pd.DataFrame([[1.0, "x"]], columns=columns)
    want = pd.DataFrame([[0.0, 0.0]], columns=["a", "b"]).columns
    for out in (Encoder().encode(df), Encoder().decode(df)):
        assert out.columns.equals(want) and out.columns.dtype == want.dtype
        assert out.columns.name is None
        out.columns.name = "renamed"
        assert df.columns.name == columns.name


def test_zero_rows_decode():
    enc = fitted()
    assert enc.decode(np.zeros((0, 1))).shape == (0, 1)  # never compared with width
    out = enc.decode(pd.DataFrame({"a": [], "b": []}, dtype=float))
    assert out["b"].dtype == object and len(out) == 0


def test_position_outside_the_object_is_internal_error(InternalError):
    enc = fitted()
    with pytest.raises(InternalError):
        enc.decode(np.zeros((2, 1)))
    with pytest.raises(InternalError):
        enc.decode(pd.DataFrame({"a": [1.0]}))
    with pytest.raises(InternalError):
        enc.decode(pd.DataFrame({"a": []}, dtype=float))


def test_decode_with_repeated_column_names_changes_only_the_remembered_column():
    enc = Encoder()
    df = pd.DataFrame([[1.0, "b", 7.0], [2.0, "a", 8.0]], columns=["x", "y", "x"])
    codes = enc.encode(pd.DataFrame([[1.0, "b", 7.0], [2.0, "a", 8.0]]))
    assert codes.values.tolist() == [[1.0, 1.0, 7.0], [2.0, 0.0, 8.0]]
    dup = pd.DataFrame(codes.values, columns=["x", "x", "x"])
    back = enc.decode(dup)
    assert back.iloc[:, 0].tolist() == [1.0, 2.0]
    assert back.iloc[:, 1].tolist() == ["b", "a"]
    assert back.iloc[:, 2].tolist() == [7.0, 8.0]
    assert back.iloc[:, 0].dtype == np.float64 and back.iloc[:, 2].dtype == np.float64
    del df


def test_encode_keeps_fit_after_failed_conversion():
    enc = Encoder()
    codes = enc.encode(pd.DataFrame({"y": ["b", "a"]}))
    with pytest.raises(TypeError):
        enc.encode(1)
    assert enc.decode(codes)["y"].tolist() == ["b", "a"]


def test_float64_encode_forgets_the_fit():
    enc = Encoder()
    codes = enc.encode(pd.DataFrame({"y": ["b", "a"]}))
    enc.encode(np.zeros((1, 1)))
    assert enc.decode(codes)["y"].dtype == np.float64


def test_decode_never_changes_the_instance():
    enc = Encoder()
    codes = enc.encode(pd.DataFrame({"y": ["b", "a", "c"]}))
    first = enc.decode(codes)
    enc.decode(pd.DataFrame({"y": ["zz", "q"]}))
    assert enc.decode(codes).equals(first)


def test_decode_of_text_encodes_afresh_then_maps_through_the_stored_fit():
    enc = Encoder()
    enc.encode(pd.DataFrame({"y": ["p", "q", "r"]}))  # p0 q1 r2
    # fresh codes of ['z', 'm'] are m0 z1 -> decoded through the stored fit: q, p
    assert enc.decode(pd.DataFrame({"y": ["z", "m"]}))["y"].tolist() == ["q", "p"]


def test_decode_on_new_instance_equals_encode():
    arr = np.array([["b"], ["a"]], dtype=object)
    assert Encoder().decode(arr).tolist() == Encoder().encode(arr).tolist()


def test_failing_result_building_keeps_the_new_fit(monkeypatch):
    import sys

    enc = Encoder()

    class DataFrame:
        columns = ["y"]
        shape = (2, 1)
        values = np.array([["b"], ["a"]], dtype=object)

    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):
        enc.encode(DataFrame())
    out = enc.decode(np.array([[0.0], [1.0]]))
    assert out.tolist() == [["a"], ["b"]]


def test_reentrant_calls_fail_at_once():
    enc = Encoder()
    seen = []

    class DataFrame:
        shape = (1, 1)
        values = np.array([["a"]], dtype=object)

        @property
        def columns(self):
            for call in (enc.decode, enc.encode):
                try:
                    call(np.zeros((1, 1)))
                except RuntimeError as e:
                    seen.append(str(e))
            raise RuntimeError("outer")

    enc.encode(pd.DataFrame({"y": ["k"]}))
    with pytest.raises(RuntimeError, match="outer"):
        enc.encode(DataFrame())
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert enc.decode(np.array([[0.0]])).tolist() == [["k"]]


def test_shared_access_allows_nested_decode():
    enc = Encoder()
    inner = []

    class DataFrame:
        shape = (1, 1)
        values = np.array([[0.0]], dtype=object)

        @property
        def columns(self):
            inner.append(enc.decode(np.zeros((1, 1))).tolist())
            try:
                enc.encode(np.zeros((1, 1)))
            except RuntimeError as e:
                inner.append(str(e))
            return ["a"]

    enc.decode(DataFrame())
    assert inner == [[[0.0]], "Already borrowed"]


@pytest.mark.parametrize("frame", [pd.DataFrame({"f": [1.0, 2.0], "i": [3, 4]}),
                                   pd.DataFrame({"f": [1.0, 2.0], "s": ["a", "b"]})])
def test_frame_result_shares_no_memory(frame):
    # The result array goes to pandas without a copy: nothing else may hold it.
    out = Encoder().encode(frame)
    assert not any(np.shares_memory(out[a].to_numpy(), frame[b].to_numpy())
                   for a in out.columns for b in frame.columns)
    out.iloc[0, 0] = 9.0
    again = Encoder().encode(frame)
    assert frame.iloc[0, 0] == 1.0 and again.iloc[0, 0] == 1.0 and out.iloc[0, 0] == 9.0
