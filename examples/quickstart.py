"""Encode a small table with text columns and missing values, then decode it back."""

from pathlib import Path

import numpy as np
import pandas as pd

import vandra

table = pd.read_csv(Path(__file__).parent / "data" / "bodies.csv")
print(f"vandra.__all__ = {vandra.__all__}")
print(f"\nInput ({len(table)} solar-system bodies, missing atmospheres are NaN):")
print(table.head(8).to_string())

enc = vandra.Encoder()
codes = enc.encode(table)
print("\nEncoded: every text column now holds float64 codes in byte order of its labels")
print(codes.head(8).to_string())
assert (codes.dtypes == np.float64).all()

back = enc.decode(codes)
print("\nDecoded:")
print(back.head(8).to_string())

text_columns = ["name", "kind", "orbits", "atmosphere"]
for col in text_columns:
    original = [None if pd.isna(v) else v for v in table[col]]
    assert back[col].tolist() == original, col
assert back["diameter_km"].tolist() == table["diameter_km"].tolist()
print(f"\nAll {len(table) * len(text_columns)} text cells came back; missing values stay missing.")

# The same works on plain 2-D numpy arrays.
arr = np.array([["b", 1.0], ["a", 2.0], ["b", 3.0]], dtype=object)
print("\nArray:", enc.encode(arr).tolist(), "->", enc.decode(enc.encode(arr)).tolist())

# The constructor validates its only option.
for bad in ("Label", 1):
    try:
        vandra.Encoder(bad)  # type: ignore[arg-type]  # wrong on purpose: the error is the demo
    except (TypeError, ValueError) as e:
        print(f"Encoder({bad!r}) -> {type(e).__name__}: {e} {getattr(e, '__notes__', '')}")
