"""pandas' missing marker pd.NA is a missing number, as a float NaN is: nullable number
columns stay numbers, whatever stands beside them, on every reader."""

import numpy as np
import pandas as pd
import pytest
from test_frame_columns import DataFrame

from vandra import Encoder

try:
    import pyarrow  # noqa: F401 - only whether it is there
    ARROW = ["int64[pyarrow]", "uint8[pyarrow]", "double[pyarrow]", "bool[pyarrow]"]
except ImportError:
    ARROW = []
NAN = float("nan")
BESIDE = {"alone": None, "float": [0.5, 1.5, 2.5, 3.5], "int": [1, 2, 3, 4],
          "text": ["a", "b", "a", "c"], "datetime": pd.to_datetime(["2013-01-01"] * 4)}


def same_floats(got, want):
    return np.array_equal(np.asarray(got, float), np.asarray(want, float), equal_nan=True)


@pytest.mark.parametrize("beside", BESIDE)
@pytest.mark.parametrize("dtype", ["Int8", "Int64", "UInt64", "Float32", "Float64", "boolean",
                                   *ARROW])
def test_nullable_numbers_with_gaps_stay_numbers(dtype, beside):
    values = [True, None, False, True] if "bool" in dtype else [3, None, 10, 9]
    frame = pd.DataFrame({"n": pd.array(values, dtype=dtype)})
    if BESIDE[beside] is not None:
        frame["b"] = BESIDE[beside]
    want = frame["n"].to_numpy(float, na_value=NAN)
    for obj in (frame, DataFrame(frame)):  # by column, and through `values`
        enc = Encoder()
        codes = enc.encode(obj)
        assert same_floats(codes["n"], want), (type(obj), codes["n"].tolist())
        back = enc.decode(codes)["n"]
        assert back.dtype == np.float64 and same_floats(back, want)


class NAType:
    """Not pandas' marker, though it prints as it does: an ordinary cell."""

    def __str__(self):
        return "<NA>"


@pytest.mark.parametrize("cells, codes, labels", [
    ([1, pd.NA, 3], [1, NAN, 3], [1.0, NAN, 3.0]),                  # numbers
    ([pd.NA, pd.NA], [NAN, NAN], [NAN, NAN]),                        # numeric, not in the fit
    ([pd.NA, "b", pd.NA, "a"], [NAN, 1, NAN, 0], [None, "b", None, "a"]),  # "NaN" / "<NA>"
    ([2.5, pd.NA, "a"], [0, NAN, 1], ["2.5", None, "a"]),
    ([1, NAType(), 3], [0, NAN, 1], ["1", None, "3"]),               # text "<NA>" from row 1
])
@pytest.mark.parametrize("reader", ["object array", "object frame", "duck frame"])
def test_object_cells_and_the_marker(cells, codes, labels, reader):
    arr = np.empty((len(cells), 1), dtype=object)
    arr[:, 0] = cells
    obj = {"object array": arr, "object frame": pd.DataFrame(arr, columns=["c"]),
           "duck frame": DataFrame(pd.DataFrame(arr, columns=["c"]))}[reader]
    enc = Encoder()
    got = enc.encode(obj)
    got = got if reader == "object array" else got.to_numpy()
    assert same_floats(got[:, 0], codes)
    back = enc.decode(got if reader == "object array" else pd.DataFrame(got, columns=["c"]))
    back = list(back[:, 0] if reader == "object array" else back["c"])
    if reader == "object array":  # an array decodes a missing code of a text column as "NaN"
        labels = ["NaN" if v is None else v for v in labels]
    assert [type(v) for v in back] == [type(v) for v in labels]
    assert [v for v in back if v == v] == [v for v in labels if v == v]
