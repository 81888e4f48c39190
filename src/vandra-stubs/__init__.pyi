"""Fast, exact label encoding of numpy arrays and pandas data frames."""

from typing import Any, Literal, final, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["Encoder"]

@final
class Encoder:
    """Label-encodes the text columns of 2-D arrays and data frames and decodes them back.

    Each text column's distinct labels, sorted by their UTF-8 bytes, get the codes
    0, 1, 2, ...; the texts "nan", "NaN" and "<NA>" become NaN. The encoder remembers
    the mapping of its last encode for decode.
    """

    def __new__(cls, encoding: Literal["label"] | None = None) -> Encoder:
        """Makes an encoder; encoding may be None or "label" (ValueError otherwise)."""

    # Arrays first: where pandas has no type information (no pandas-stubs), DataFrame is
    # Any, and an overload taking it first would swallow arrays too.

    @overload
    def encode(self, obj: np.ndarray[Any, Any]) -> npt.NDArray[np.float64]:
        """Encodes a 2-D array: a new float64 array, codes in its text columns."""

    @overload
    def encode(self, obj: pd.DataFrame) -> pd.DataFrame:
        """Encodes a frame: a new frame of float64 columns, codes in its text columns."""

    @overload
    def decode(self, obj: np.ndarray[Any, Any]) -> npt.NDArray[Any]:
        """Decodes a 2-D array: an object array with labels in the remembered columns
        ("NaN" for NaN and unknown codes) and floats elsewhere; if the encoder remembers
        nothing (new, or it last encoded a float64 array), what encode gives."""

    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame:
        """Decodes a frame: the remembered columns become object columns of labels
        (None for NaN and unknown codes); the other columns stay float64."""

