"""The module object, the function table, binding and argument conversion."""

import ast
import ctypes
import importlib
import importlib.util
import inspect
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import corvane
from helpers import assert_panics, raises_panic

# The functions the stub declares, in order, with their parameters; the build
# checks the stub against the module's function table.
STUB = ast.parse((pathlib.Path(__file__).parents[1] / "corvane-stubs" / "__init__.pyi").read_text())
TABLE = [
    (f.name, ", ".join(a.arg for a in f.args.args)) for f in STUB.body if isinstance(f, ast.FunctionDef)
]


def test_module_object():
    assert corvane.__doc__ == ""
    assert corvane.__all__ == [name for name, _ in TABLE]
    assert corvane.__name__ == "corvane"


@pytest.mark.parametrize("name, params", TABLE)
def test_function_descriptor(name, params):
    fn = getattr(corvane, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__module__ == "corvane"
    assert fn.__doc__ is None
    assert fn.__text_signature__ == f"({params})"
    sig = inspect.signature(fn)
    assert str(sig) == f"({params})"
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in sig.parameters.values()
    )


def test_import_again_returns_cached_module():
    first = sys.modules.pop("corvane")
    try:
        again = importlib.import_module("corvane")
        assert again is first
    finally:
        sys.modules["corvane"] = first


def test_second_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    import tempfile

    with tempfile.NamedTemporaryFile("r", suffix=".txt") as out:
        code = (
            "try:\n"
            "    import corvane\n"
            "    result = 'imported'\n"
            "except ImportError as e:\n"
            "    result = 'ImportError: ' + str(e)\n"
            f"open({out.name!r}, 'w').write(result)\n"
        )
        assert testcapi.run_in_subinterp(code) == 0
        text = open(out.name).read()
    assert text.startswith("ImportError: ") and "sub-interpreters" in text, text


SUBINTERPRETER = """
import _xxsubinterpreters as interpreters
def in_sub(isolated):
    sub = interpreters.create(isolated=isolated)
    try:
        interpreters.run_string(sub, "import corvane")
    except interpreters.RunFailedError as e:
        print(e)
    finally:
        interpreters.destroy(sub)
ORDER
import corvane
print(corvane.get_padding(4, 2, 2, 2))
"""


@pytest.mark.parametrize("order", ["in_sub(False)", "in_sub(True)", "import corvane; in_sub(False)"])
@pytest.mark.skipif(importlib.util.find_spec("_xxsubinterpreters") is None,
                    reason="this Python's sub-interpreter module has another interface")
def test_main_interpreter_imports_whichever_interpreter_tried_first(order):
    code = SUBINTERPRETER.replace("ORDER", order)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "<class 'ImportError'>: corvane does not support sub-interpreters: it can only be "
        "imported in the main interpreter",
        "(2.0, 0, 0, 0, 1)",
    ]


# -- binding ---------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: corvane.get_padding(1, 2, 3),
            "get_padding() missing 1 required positional argument: 'height'",
        ),
        (
            lambda: corvane.get_padding(1, 2),
            "get_padding() missing 2 required positional arguments: 'width' and 'height'",
        ),
        (
            lambda: corvane.get_padding(),
            "get_padding() missing 4 required positional arguments: "
            "'src_w', 'src_h', 'width', and 'height'",
        ),
        (
            lambda: corvane.get_padding(1, height=2),
            "get_padding() missing 2 required positional arguments: 'src_h' and 'width'",
        ),
        (
            lambda: corvane.yolov5_det_preprocess(1, 2, 3),
            "yolov5_det_preprocess() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: corvane.alphapose_postprocess(1, 2, 3, 4),
            "alphapose_postprocess() takes 2 positional arguments but 4 were given",
        ),
        (
            lambda: corvane.get_padding(1, 2, 3, 4, width=5),
            "get_padding() got multiple values for argument 'width'",
        ),
        (
            lambda: corvane.get_padding(1, 2, 3, 4, w=5),
            "get_padding() got an unexpected keyword argument 'w'",
        ),
        (
            lambda: corvane.get_padding(1, 2, 3, **{"height": 4, "HEIGHT": 5}),
            "get_padding() got an unexpected keyword argument 'HEIGHT'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["\udc80", "heigh\udc80t"])
def test_keyword_name_without_utf8_form(name):
    with pytest.raises(TypeError) as info:
        corvane.get_padding(1, 2, 3, **{name: 4})
    assert type(info.value) is TypeError
    assert str(info.value) == f"get_padding() got an unexpected keyword argument '{name}'"


@pytest.mark.skipif(not hasattr(ctypes.pythonapi, "PyObject_Vectorcall"),
                    reason="PyObject_Vectorcall is exported from CPython 3.12 on")
@pytest.mark.parametrize(
    "keywords, message",
    [
        ([(7, 4)], "get_padding() got an unexpected keyword argument '7'"),
        ([(b"height", 4)], "get_padding() got an unexpected keyword argument 'b'height''"),
        ([("height", 4), ("height", 5)], "get_padding() got multiple values for argument 'height'"),
    ],
)
def test_keyword_names_only_c_callers_can_pass(keywords, message):
    # Through the C vectorcall protocol keyword names may be any objects and
    # may repeat, which a Python call never allows.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = [1, 2, 3, *(v for _, v in keywords)]
    vector = (ctypes.py_object * len(values))(*values)
    names = tuple(k for k, _ in keywords)
    with pytest.raises(TypeError) as info:
        vectorcall(corvane.get_padding, ctypes.cast(vector, ctypes.c_void_p), 3, names)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_one_too_many_says_was():
    # A function of no parameters does not exist; "was" appears with N = 0
    # only, so check the plural rule through the count instead.
    with pytest.raises(TypeError, match=r"takes 4 positional arguments but 5 were given"):
        corvane.get_padding(1, 2, 3, 4, 5)


def test_keywords_in_any_order():
    expected = corvane.get_auto_resize(1280, 720, 640, 480)
    assert corvane.get_auto_resize(height=480, width=640, src_h=720, src_w=1280) == expected
    assert corvane.get_padding(1280, 720, height=640, width=640) == (2.0, 0, 140, 0, 140)


# -- conversion --------------------------------------------------------------


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 2.5


def test_i32_conversion():
    assert corvane.get_auto_resize(Index(1280), True, 640, 640)[0] == 2.0
    with pytest.raises(TypeError) as info:
        corvane.get_padding(1.5, 2, 3, 4)
    assert str(info.value) == "argument 'src_w': 'float' object cannot be interpreted as an integer"
    with pytest.raises(OverflowError) as info:
        corvane.get_padding(2**31, 2, 3, 4)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        corvane.get_padding(1, -(2**31) - 1, 3, 4)
    with pytest.raises(OverflowError):
        corvane.get_padding(1, 2, 2**70, 4)
    assert corvane.get_auto_resize(-(2**31), 2**31 - 1, 1, -1)[0] == float(np.float32(-(2**31) + 1))


def test_f32_conversion_rounds_to_float32():
    pred = np.ones(51, np.float32)
    (x, y, s) = corvane.alphapose_postprocess(pred, 0.1)[0]
    assert x == float(np.float32(0.1))
    assert corvane.alphapose_postprocess(pred, Floaty())[0][0] == 2.5
    assert corvane.alphapose_postprocess(pred, 3)[0][0] == 3.0
    assert corvane.alphapose_postprocess(pred, 1e300)[0][0] == float("inf")
    with pytest.raises(TypeError) as info:
        corvane.alphapose_postprocess(pred, "2")
    assert str(info.value) == "argument 'scale': must be real number, not str"


def test_u32_and_u64_conversion():
    buf = bytearray(8)
    # Argument conversion happens before the shared buffer is looked at.
    with pytest.raises(OverflowError) as info:
        corvane.fetch_add_seq_cst(buf, 2**32)
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(OverflowError):
        corvane.fetch_add_seq_cst(buf, -1)
    with pytest.raises(TypeError) as info:
        corvane.fetch_add_seq_cst(buf, 1.0)
    assert str(info.value).startswith("argument 'val': ")
    pred = np.zeros((1, 8, 0), np.float32)
    with pytest.raises(OverflowError):
        corvane.yolov8_seg_postprocess(pred, 0.5, 0.5, 2**64)
    with pytest.raises(OverflowError):
        corvane.yolov8_seg_postprocess(pred, 0.5, 0.5, -1)
    with pytest.raises(TypeError) as info:
        corvane.yolov8_seg_postprocess(pred, 0.5, 0.5, "3")
    assert str(info.value) == "argument 'vec_dims': 'str' object cannot be interpreted as an integer"


def _property(has_property=(True,), property_groups=(1,)):
    pred = np.zeros((0, 8, 2), np.float32)  # B = 0: no kernel work
    return corvane.yolov8_property_postprocess(pred, 0.5, 0.5, 2, has_property, property_groups)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"has_property": "ab"}, TypeError, "argument 'has_property': Can't extract `str` to `Vec`"),
        ({"property_groups": "12"}, TypeError, "argument 'property_groups': Can't extract `str` to `Vec`"),
        (
            {"has_property": 5},
            TypeError,
            "argument 'has_property': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            {"has_property": [True, 1]},
            TypeError,
            "argument 'has_property': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            {"has_property": {1: 2}},
            TypeError,
            "argument 'has_property': 'dict' object cannot be converted to 'Sequence'",
        ),
        (
            {"property_groups": [1, -1]},
            OverflowError,
            "can't convert negative int to unsigned",
        ),
        (
            {"property_groups": [1.0]},
            TypeError,
            "argument 'property_groups': 'float' object cannot be interpreted as an integer",
        ),
    ],
)
def test_sequence_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        _property(**kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_sequence_accepts_numpy_bools_and_any_sequence():
    assert _property(has_property=[np.bool_(True), False]) == []
    assert _property(has_property=np.array([True, False])) == []
    assert _property(has_property=(), property_groups=range(3)) == []
    assert _property(property_groups=np.array([1, 2], dtype=np.uint64)) == []


def test_prefix_keeps_cause_and_only_exact_type_error():
    class Boom(TypeError):
        pass

    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    class Sub:
        def __index__(self):
            raise Boom("subclass")

    with pytest.raises(TypeError) as info:
        corvane.get_padding(Bad(), 1, 1, 1)
    assert str(info.value) == "argument 'src_w': outer"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(Boom) as info:
        corvane.get_padding(Sub(), 1, 1, 1)
    assert str(info.value) == "subclass"


def test_prefixed_error_is_not_chained_to_the_handled_exception():
    # The renamed error replaces the conversion's own: it is not raised "during
    # handling" of whatever the caller is handling, and shows no context.
    try:
        raise KeyError("handled")
    except KeyError:
        with pytest.raises(TypeError) as info:
            corvane.get_padding(1.5, 2, 3, 4)
    assert info.value.__cause__ is None
    assert info.value.__context__ is None
    assert info.value.__suppress_context__


def test_conversion_in_parameter_order():
    # Both arguments are wrong: the first parameter is reported.
    with pytest.raises(TypeError, match="^argument 'src_w'"):
        corvane.get_padding("a", "b", 1, 1)
    with pytest.raises(TypeError, match="^argument 'src'"):
        corvane.yolov5_det_preprocess([1], [2])


# -- panics ----------------------------------------------------------------


def test_panic_is_base_exception_and_module_stays_usable(capfd):
    exc = raises_panic(corvane.alphapose_postprocess, np.zeros(3, np.float32), 1.0)
    panic_type = type(exc)
    assert panic_type.__qualname__ == "PanicException"
    assert f"{panic_type.__module__}.{panic_type.__qualname__}" == "pyo3_runtime.PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert "BaseException" in panic_type.__doc__
    assert exc.args == ("index out of bounds: the len is 3 but the index is 3",)
    report = capfd.readouterr().err.splitlines()
    assert report[0].startswith("thread 'main' panicked at src/")
    assert report[1] == "index out of bounds: the len is 3 but the index is 3"
    assert report[2].startswith("note: ") and "backtrace" in report[2]
    assert len(report) == 3
    caught = False
    try:
        try:
            corvane.alphapose_postprocess(np.zeros(3, np.float32), 1.0)
        except Exception:  # must not catch it
            pytest.fail("PanicException caught by `except Exception`")
    except BaseException as e:
        caught = type(e) is panic_type
    assert caught
    assert len(corvane.alphapose_postprocess(np.zeros(51, np.float32), 1.0)) == 17


def test_panic_type_is_reachable_by_name_only():
    assert corvane.PanicException is type(raises_panic(corvane.alphapose_postprocess, np.zeros(0, np.float32), 1.0))
    assert "PanicException" not in corvane.__all__
    with pytest.raises(AttributeError, match="module 'corvane' has no attribute 'nope'"):
        corvane.nope


def test_version_is_the_package_version_and_dir_lists_the_panic_type():
    import importlib.metadata
    import pathlib
    import re

    assert corvane.__version__ == importlib.metadata.version("corvane")
    project = (pathlib.Path(__file__).parent.parent / "pyproject.toml").read_text(encoding="utf-8")
    assert re.search(rf'^version = "{re.escape(corvane.__version__)}"$', project, re.M)
    names = dir(corvane)
    assert names == sorted(names)
    assert {"PanicException", "__version__", *corvane.__all__} <= set(names)
    assert "PanicException" not in corvane.__dict__
