"""Encode a small table with text columns and missing values, then decode it back."""

import vandra

print("vandra.__all__ =", vandra.__all__)
enc = vandra.Encoder()
print(enc)
