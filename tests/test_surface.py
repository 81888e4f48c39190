"""Module and class surface, constructor validation and argument binding."""

import importlib
import sys
import weakref

import pytest

import vandra
from vandra import Encoder


def test_module_holds_only_encoder_and_all():
    assert vandra.__all__ == ["Encoder"]
    own = {k for k in vars(vandra) if not k.startswith("__")}
    assert own == {"Encoder"}
    assert isinstance(vandra.Encoder, type)


def test_class_identity():
    assert Encoder.__module__ == "builtins"
    assert Encoder.__name__ == Encoder.__qualname__ == "Encoder"
    assert Encoder.__text_signature__ == "(encoding=None)"
    assert Encoder.encode.__text_signature__ == "($self, obj)"
    assert Encoder.decode.__text_signature__ == "($self, obj)"
    assert not Encoder.__doc__


def test_class_is_final_and_slotless():
    with pytest.raises(TypeError):
        type("Sub", (Encoder,), {})
    enc = Encoder()
    with pytest.raises(AttributeError):
        enc.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(enc)
    import gc

    assert not gc.is_tracked(enc)


def test_reimport_gives_the_same_class():
    first = sys.modules.pop("vandra")
    try:
        again = importlib.import_module("vandra")
        assert again is not first
        assert again.Encoder is first.Encoder
        assert again.__all__ == ["Encoder"]
    finally:
        sys.modules["vandra"] = first


class LabelStr(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), ((), {"encoding": None}), (("label",), {}),
     ((), {"encoding": "label"}), ((LabelStr("label"),), {})],
)
def test_constructor_accepts(args, kwargs):
    enc = Encoder(*args, **kwargs)
    assert type(enc) is Encoder


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("Label",), {}, ValueError, "Label is not a supported encoding strategy for strings!"),
        (("",), {}, ValueError, " is not a supported encoding strategy for strings!"),
        (("la\0bel",), {}, ValueError, "la\0bel is not a supported encoding strategy for strings!"),
        (("label", "x"), {}, TypeError,
         "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (("label",), {"encoding": "label"}, TypeError,
         "Encoder.__new__() got multiple values for argument 'encoding'"),
        ((), {"strategy": "label"}, TypeError,
         "Encoder.__new__() got an unexpected keyword argument 'strategy'"),
    ],
)
def test_constructor_rejects(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Encoder(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("value, type_name", [(1, "int"), (b"label", "bytes"), (["label"], "list")])
def test_constructor_type_error_has_note(value, type_name):
    with pytest.raises(TypeError) as info:
        Encoder(value)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'encoding'"]


def test_constructor_unencodable_text_keeps_its_error_with_note():
    with pytest.raises(UnicodeEncodeError) as info:
        Encoder("lab\ud800el")
    assert info.value.__notes__ == ["while processing 'encoding'"]


@pytest.mark.parametrize("method", ["encode", "decode"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Encoder.{m}() missing 1 required positional argument: 'obj'"),
        ((1, 2), {}, "Encoder.{m}() takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, "Encoder.{m}() takes 1 positional arguments but 3 were given"),
        ((1,), {"obj": 1}, "Encoder.{m}() got multiple values for argument 'obj'"),
        ((), {"y": 1}, "Encoder.{m}() got an unexpected keyword argument 'y'"),
    ],
)
def test_method_binding_errors(method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(Encoder(), method)(*args, **kwargs)
    assert str(info.value) == message.format(m=method)


def test_many_constructions_do_not_leak():
    import gc

    gc.collect()
    before = sys.getallocatedblocks()
    class_refs = sys.getrefcount(Encoder)
    for _ in range(100_000):
        Encoder("label")
    gc.collect()
    assert sys.getallocatedblocks() - before < 100
    assert sys.getrefcount(Encoder) == class_refs  # each instance's class reference returns


def test_sub_interpreters_are_refused():
    interpreters = pytest.importorskip("_interpreters")
    try:
        interp = interpreters.create("legacy")  # shares the main interpreter's lock
    except TypeError:
        pytest.skip("this interpreter cannot create legacy sub-interpreters")
    try:
        failure = interpreters.run_string(interp, "import vandra")
    finally:
        interpreters.destroy(interp)
    assert failure is not None and failure.type.__name__ == "ImportError"
    assert "main interpreter" in failure.msg
