"""Thousands of encode/decode calls over every input kind and every failure path must leave
the interpreter's allocated blocks and the reference counts of inputs and cells where
they were."""

import gc
import sys

import numpy as np
import pandas as pd

from vandra import Encoder

WATCHDOG_SECONDS = 300


def fresh(text):
    """A copy of `text` made at run time: not interned, so its reference count counts."""
    assert len(text) > 1  # one-character strings are shared singletons
    return "".join(list(text))


def measure(calls, rounds, watched, phases=8):
    """Runs phases of `rounds` rounds of every call until one grows the allocated blocks
    by less than a twentieth of a block per call. The interpreter's free lists and caches
    fill up over the first phases; a leak of one block per call never gets there.
    Returns (growth of the last phase, refcount changes as {index: (before, after)} from
    the start of the first phase to the end of the last)."""
    limit = rounds * len(calls) // 20
    for call in calls:
        call()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    for _ in range(phases):
        blocks = sys.getallocatedblocks()
        for _ in range(rounds):
            for call in calls:
                call()
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        if grown < limit:
            break
    after = [sys.getrefcount(o) for o in watched]
    return grown, {k: (b, a) for k, (b, a) in enumerate(zip(refs, after)) if a != b}, limit


def raises(exc, fn, *args, match=None):
    def call():
        try:
            fn(*args)
        except exc as e:
            if match is not None:
                assert str(e).startswith(match), str(e)
        else:
            raise AssertionError(f"{fn} did not raise {exc}")

    return call


def duck(values, columns, cls_name="DataFrame", **extra):
    attrs = {"columns": columns, "shape": np.shape(values), "values": values, **extra}
    return type(cls_name, (), attrs)()


LABELS = [fresh(f"label{i}") for i in range(40)]


def object_table():
    arr = np.empty((20, 3), dtype=object)
    for i in range(20):
        arr[i, 0] = LABELS[i]
        arr[i, 1] = float(i) + 0.5 if i % 3 else None
        arr[i, 2] = LABELS[20 + i % 7] if i % 5 else 7
    return arr


def test_array_and_duck_inputs_are_steady(tmp_path):
    enc = Encoder()
    obj = object_table()
    floats = np.arange(60.0).reshape(20, 3)
    ints = np.arange(60, dtype=np.int64).reshape(20, 3)
    bools = ints % 2 == 0
    mm = np.memmap(tmp_path / "m.bin", dtype=np.float64, mode="w+", shape=(20, 3))
    mm[:] = floats
    mm_obj = np.memmap(tmp_path / "i.bin", dtype=np.int32, mode="w+", shape=(20, 3))
    columns = [fresh("col_a"), fresh("col_b"), fresh("col_c")]
    frame_like = duck(obj, columns)
    strided = obj[::2, ::-1]
    calls = []
    for x in (obj, floats, ints, bools, mm, mm_obj, frame_like, strided, floats.T):
        calls += [lambda x=x: enc.decode(enc.encode(x)), lambda x=x: Encoder().decode(x)]
    rounds = 300
    grown, refs, limit = measure(calls, rounds, [obj, floats, ints, mm, frame_like, columns,
                                          *columns, *LABELS])
    assert refs == {}
    assert grown < limit, grown


def test_failure_paths_are_steady(InternalError, capfd):
    enc = Encoder()

    class BadStr:
        def __str__(self):
            raise ValueError("no text")

    bad = BadStr()
    bad_cells = np.array([[fresh("ok")], [bad]], dtype=object)

    class DataFrame:
        @property
        def columns(self):
            raise KeyError("missing")

    failing_columns = DataFrame()

    def conflicting(outer_is_encode):
        seen = []

        class DataFrame:
            shape = (1, 1)
            values = np.array([[LABELS[0]]], dtype=object)

            @property
            def columns(self):
                for inner in (enc.decode, enc.encode):
                    try:
                        inner(np.zeros((1, 1)))
                    except RuntimeError as e:
                        seen.append(str(e))
                return ["a"]

        frame = DataFrame()

        def call():
            seen.clear()
            (enc.encode if outer_is_encode else enc.decode)(frame)
            expect = (["Already mutably borrowed", "Already borrowed"] if outer_is_encode
                      else ["Already borrowed"])
            assert seen == expect

        return call

    enc.encode(np.array([[LABELS[1]]], dtype=object))
    values = np.array([[LABELS[2], 1.0]], dtype=object)
    unsupported = [LABELS[3]]
    calls = [
        raises(TypeError, enc.encode, unsupported, match="Unsupported type: 'list'"),
        raises(TypeError, enc.decode, {}, match="Unsupported type: 'dict'"),
        raises(InternalError, enc.encode, duck(values, ["a", "b"], shape=(2,))),
        raises(InternalError, enc.encode, duck(values, ["a", "b"], shape=(2**40, 2**40))),
        raises(InternalError, enc.encode, duck(values, ["a", "b"], shape=(5, 2))),
        raises(InternalError, enc.encode, type("DataFrame", (), {"columns": ["a"],
                                                               "shape": (1, 1)})()),
        raises(InternalError, enc.encode, bad_cells, match="cant convert to str"),
        raises(InternalError, enc.decode, bad_cells, match="cant convert to str"),
        raises(InternalError, enc.encode, np.zeros(3, dtype=object)),
        raises(KeyError, enc.encode, failing_columns),
        raises(AttributeError, enc.encode, duck(values, [1.5, 2.5])),  # no tolist()
        conflicting(True),
        conflicting(False),
    ]
    # Decoding a position outside the object: a 3-column fit applied to one column.
    wide = Encoder()
    wide.encode(np.array([[1.0, 2.0, LABELS[4]]], dtype=object))
    calls.append(raises(InternalError, wide.decode, np.zeros((1, 1))))
    rounds = 150
    grown, refs, limit = measure(calls, rounds, [bad, bad_cells, values, unsupported,
                                                 failing_columns, *LABELS])
    capfd.readouterr()  # the refused names on fd 1, the internal-error notes on fd 2
    assert refs == {}
    assert grown < limit, grown


def test_failing_pandas_import_is_steady(monkeypatch):
    enc = Encoder()
    values = np.array([[LABELS[5]], [LABELS[6]]], dtype=object)
    frame_like = duck(values, [fresh("yy")])
    with monkeypatch.context() as m:
        m.setitem(sys.modules, "pandas", None)
        calls = [raises(ImportError, enc.encode, frame_like),
                 raises(ImportError, enc.decode, frame_like)]
        grown, refs, limit = measure(calls, 500, [values, frame_like, *LABELS])
    assert refs == {}
    assert grown < limit, grown
    # the failure came after the conversion, so the last encode's fit stays
    assert enc.decode(np.array([[1.0]])).tolist() == [[LABELS[6]]]


def pandas_ops(floats, names):
    """What building and decoding a frame result asks of pandas, without vandra."""
    df = pd.DataFrame(floats, columns=names)
    df[names[1]] = df[names[1]].astype(object)
    df.loc[:, names[1]] = [LABELS[0]] * len(df)
    return df


def test_pandas_frames_keep_reference_counts():
    enc = Encoder()
    cells = object_table()
    names = [fresh("name_a"), fresh("name_b"), fresh("name_c")]
    df = pd.DataFrame(cells, columns=names)
    repeated = pd.DataFrame(cells[:, :2], columns=[names[0], names[0]])
    calls = [lambda: enc.decode(enc.encode(df)), lambda: enc.decode(enc.encode(repeated)),
             lambda: Encoder().decode(df)]
    rounds = 60
    floats = np.zeros((20, 3))
    baseline, _, _ = measure([lambda: pandas_ops(floats, names)] * len(calls), rounds, [],
                             phases=3)
    grown, refs, _ = measure(calls, rounds, [df, repeated, cells, *names, *LABELS], phases=3)
    assert refs == {}
    # pandas keeps growing its own caches a little on repeated frame operations, so the
    # bound is generous; a leaked result frame or column would be dozens of blocks a call.
    assert grown < 4 * max(baseline, 0) + 2 * rounds * len(calls), (grown, baseline)
