"""The stub's overloads against the module: mypy checks the assert_type lines (make
typecheck), pytest checks that the same calls return what those types say."""

from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

import vandra


def test_each_form_gives_back_the_type_the_stub_names() -> None:
    enc = vandra.Encoder("label")
    codes = assert_type(enc.encode(np.array([["b"], ["a"]], dtype=object)),
                        npt.NDArray[np.float64])
    assert type(codes) is np.ndarray and codes.dtype == np.float64
    labels = assert_type(enc.decode(obj=codes), npt.NDArray[Any])
    assert type(labels) is np.ndarray and labels.tolist() == [["b"], ["a"]]
    frame = assert_type(enc.encode(obj=pd.DataFrame({"y": ["b", "a"]})), pd.DataFrame)
    assert type(frame) is pd.DataFrame
    back = assert_type(enc.decode(frame), pd.DataFrame)
    assert type(back) is pd.DataFrame and back["y"].tolist() == ["b", "a"]
