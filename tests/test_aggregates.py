"""sum, average, max and min: every item read as a double, non-numeric items skipped with warning
lines written straight to file descriptor 2, repr failures reported to the unraisable hook,
interrupts and memory errors never swallowed, and reference balance on every exit."""
import decimal
import fractions
import io
import math
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import capture_fd2, fault_sweep, record_unraisable, refcounts_balanced

OPS = ["sum", "average", "max", "min"]

HEADER_BYTES = {
    "sum": b"Warning: Non-numeric value found in sequence during sum operation\n",
    "average": b"Warning: Non-numeric value found in sequence during average operation\n",
    "max": b"Warning: Non-numeric value found in sequence during max operation\n",
    "min": b"Warning: Non-numeric value found in sequence during min operation\n",
}


def run(op, items_or_seq):
    """Calls the aggregate and returns (result, bytes written to fd 2)."""
    s = items_or_seq if isinstance(items_or_seq, LumoSeq) else LumoSeq(items_or_seq)
    with capture_fd2() as cap:
        result = getattr(s, op)()
    return result, cap.data


def same_float(a, b):
    """Equal as doubles, telling signed zeros and NaN apart."""
    return type(a) is float and type(b) is float and repr(a) == repr(b)


class Item:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


class Floaty:
    """A numeric item through __float__, logging each conversion."""

    def __init__(self, value, log=None):
        self.value = value
        self.log = log

    def __float__(self):
        if self.log is not None:
            self.log.append(self.value)
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingFloat:
    """An item whose __float__ raises the exception it was given."""

    def __init__(self, exc, log=None):
        self.exc = exc
        self.log = log

    def __float__(self):
        if self.log is not None:
            self.log.append("float")
        raise self.exc

    def __repr__(self):
        return "RaisingFloat()"


class Unprintable:
    """A non-numeric item whose repr raises the exception it was given."""

    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        raise self.exc


# --- results and warning lines -------------------------------------------------------------

@pytest.mark.parametrize("op", OPS)
def test_empty_sequence_gives_none_and_writes_nothing(op):
    assert run(op, []) == (None, b"")


@pytest.mark.parametrize("op, expected", [
    ("sum", 0.0), ("average", None), ("max", None), ("min", None),
])
def test_only_non_numeric_item(op, expected):
    result, written = run(op, ["a"])
    assert result == expected and type(result) is type(expected)
    assert written == HEADER_BYTES[op] + b"  at index 0: 'a'\n"


def test_sum_warns_once_and_lists_every_non_numeric_item():
    result, written = run("sum", [1, "x", 2, None])
    assert same_float(result, 3.0)
    assert written == (b"Warning: Non-numeric value found in sequence during sum operation\n"
                       b"  at index 1: 'x'\n"
                       b"  at index 3: None\n")


@pytest.mark.parametrize("op, items, expected, written", [
    ("sum", [1, 2], 3.0, b""),
    ("sum", [True, 2.5], 3.5, b""),
    ("sum", [False, True, True], 2.0, b""),
    ("sum", [10**400, 1], 1.0, b"  at index 0: 1" + b"0" * 400 + b"\n"),
    ("sum", [Floaty(-1.0), 3], 2.0, b""),
    ("sum", [0.1] * 10, 0.9999999999999999, b""),
    ("sum", [1e308, 1e308, -1e308], math.inf, b""),
    ("sum", [Indexy(4), 0.5], 4.5, b""),
    ("sum", [fractions.Fraction(1, 2), decimal.Decimal("0.25")], 0.75, b""),
    ("sum", [[1], (2,), {3: 4}, b"x", "3"], 0.0,
     b"  at index 0: [1]\n  at index 1: (2,)\n  at index 2: {3: 4}\n  at index 3: b'x'\n"
     b"  at index 4: '3'\n"),
    ("average", [1, 2, "x"], 1.5, b"  at index 2: 'x'\n"),
    ("average", ["x", 1, 2], 1.5, b"  at index 0: 'x'\n"),
    ("average", [1, 2, 4], 7 / 3, b""),
    ("average", [None, None], None, b"  at index 0: None\n  at index 1: None\n"),
    ("average", [Floaty(-1.0)], -1.0, b""),
    ("max", [3, 1.5, 7, 2], 7.0, b""),
    ("max", [-5, "q", -2], -2.0, b"  at index 1: 'q'\n"),
    ("max", [float("-inf")], -math.inf, b""),
    ("min", [3, 1.5, 7, 2], 1.5, b""),
    ("min", [None, 4, "z", True], 1.0, b"  at index 0: None\n  at index 2: 'z'\n"),
    ("min", [10**400, 5], 5.0, b"  at index 0: 1" + b"0" * 400 + b"\n"),
])
def test_results_and_warnings(op, items, expected, written):
    result, data = run(op, items)
    if expected is None:
        assert result is None
    else:
        assert same_float(result, float(expected))
    assert data == ((HEADER_BYTES[op] + written) if written else b"")


@pytest.mark.parametrize("op", OPS)
def test_results_are_exact_floats(op):
    class F(float):
        pass

    result, _ = run(op, [F(2.0), F(4.0)])
    assert type(result) is float


@pytest.mark.parametrize("op, expected", [("sum", 15.0), ("average", 3.0), ("max", 5.0),
                                          ("min", 1.0)])
def test_advanced_receiver_still_reads_every_item(op, expected):
    s = LumoSeq([1, 2, 3, 4, 5]).skip(2)
    assert run(op, s) == (expected, b"")
    s = LumoSeq(["a", 1, 2, 3, 4, 5]).skip(4)
    assert run(op, s) == (expected, HEADER_BYTES[op] + b"  at index 0: 'a'\n")


def test_index_counts_every_item_and_prints_in_decimal():
    items = [1.0] * 10 + ["ten"] + [2.0] * 100 + ["one hundred eleven"]
    result, data = run("sum", items)
    assert result == 210.0
    assert data == (HEADER_BYTES["sum"] + b"  at index 10: 'ten'\n"
                    b"  at index 111: 'one hundred eleven'\n")


@pytest.mark.parametrize("op, items, expected", [
    ("max", [math.nan, 1.0], "nan"),
    ("max", [1.0, math.nan], "1.0"),
    ("max", [1.0, math.nan, 3.0], "3.0"),
    ("min", [math.nan, 1.0], "nan"),
    ("min", [1.0, math.nan], "1.0"),
    ("min", [1.0, math.nan, -3.0], "-3.0"),
    ("max", [-0.0, 0.0], "-0.0"),
    ("max", [0.0, -0.0], "0.0"),
    ("min", [0.0, -0.0], "0.0"),
    ("min", [-0.0, 0.0], "-0.0"),
    ("sum", [1.0, math.nan], "nan"),
    ("sum", [-0.0], "0.0"),
    ("average", [math.inf, -math.inf], "nan"),
])
def test_nan_and_signed_zero(op, items, expected):
    result, data = run(op, items)
    assert type(result) is float
    assert repr(result) == expected
    assert data == b""


def test_second_call_writes_the_header_again():
    s = LumoSeq([1, "x"])
    first = run("sum", s)
    second = run("sum", s)
    expected = (1.0, HEADER_BYTES["sum"] + b"  at index 1: 'x'\n")
    assert first == second == expected


@pytest.mark.parametrize("op", OPS)
def test_warnings_bypass_sys_stderr(op, monkeypatch):
    replacement = io.StringIO()
    monkeypatch.setattr(sys, "stderr", replacement)
    result, data = run(op, [2, None])
    assert result == 2.0
    assert data == HEADER_BYTES[op] + b"  at index 1: None\n"
    assert replacement.getvalue() == ""


def test_warning_repr_text_is_utf8():
    result, data = run("sum", ["é", "日本", "\U0001f600"])
    assert result == 0.0
    assert data == HEADER_BYTES["sum"] + ("  at index 0: 'é'\n  at index 1: '日本'\n"
                                          "  at index 2: '\U0001f600'\n").encode("utf-8")


def test_warning_repr_text_replaces_lone_surrogates():
    class Surrogate:
        def __repr__(self):
            return "a\ud800b"

    with record_unraisable() as seen:
        result, data = run("max", [Surrogate(), 1])
    assert result == 1.0
    assert data == HEADER_BYTES["max"] + b"  at index 0: a" + b"\xef\xbf\xbd" * 3 + b"b\n"
    assert seen == []


def test_warning_repr_text_keeps_nul_characters():
    class Nul:
        def __repr__(self):
            return "a\x00b"

    _, data = run("min", [Nul()])
    assert data == HEADER_BYTES["min"] + b"  at index 0: a\x00b\n"


@pytest.mark.parametrize("op", OPS)
def test_calling_with_an_argument_raises_and_scans_nothing(op):
    log = []
    s = LumoSeq([Floaty(1.0, log), "x"])
    with capture_fd2() as cap:
        with pytest.raises(TypeError) as excinfo:
            getattr(s, op)(1)
        with pytest.raises(TypeError):
            getattr(s, op)(x=1)
    assert op in str(excinfo.value)
    assert log == []
    assert cap.data == b""


# --- the numeric conversion ----------------------------------------------------------------

@pytest.mark.parametrize("op", OPS)
def test_float_items_are_read_directly_and_others_converted_once(op):
    log = []
    items = [Floaty(2.0, log), 1.0, Floaty(3.0, log)]
    result, _ = run(op, items)
    assert result == {"sum": 6.0, "average": 2.0, "max": 3.0, "min": 1.0}[op]
    assert log == [2.0, 3.0]


@pytest.mark.parametrize("exc", [ValueError("no"), TypeError("no"), OverflowError("no"),
                                 RuntimeError("no"), ArithmeticError("no")],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("op", OPS)
def test_ordinary_conversion_errors_make_the_item_non_numeric(op, exc):
    result, data = run(op, [RaisingFloat(exc), 4])
    assert result == 4.0
    assert data == HEADER_BYTES[op] + b"  at index 0: RaisingFloat()\n"
    assert sys.exc_info() == (None, None, None)


def test_float_returning_a_non_float_is_non_numeric():
    class Bad:
        def __float__(self):
            return "1.5"

        def __repr__(self):
            return "Bad()"

    assert run("sum", [Bad(), 2]) == (2.0, HEADER_BYTES["sum"] + b"  at index 0: Bad()\n")


@pytest.mark.parametrize("make", [KeyboardInterrupt, MemoryError], ids=["interrupt", "memory"])
@pytest.mark.parametrize("op", OPS)
def test_interrupts_and_memory_errors_from_float_propagate(op, make):
    raised = make()
    log = []
    s = LumoSeq([1, "x", RaisingFloat(raised, log), Floaty(5.0, log), "y"])
    with capture_fd2() as cap:
        with pytest.raises(make) as excinfo:
            getattr(s, op)()
    assert excinfo.value is raised
    assert log == ["float"]
    assert cap.data == HEADER_BYTES[op] + b"  at index 1: 'x'\n"


@pytest.mark.parametrize("op", OPS)
def test_interrupt_from_the_first_item_writes_nothing(op):
    raised = KeyboardInterrupt()
    with capture_fd2() as cap:
        with pytest.raises(KeyboardInterrupt) as excinfo:
            getattr(LumoSeq([RaisingFloat(raised), "x"]), op)()
    assert excinfo.value is raised
    assert cap.data == b""


# --- repr failures -------------------------------------------------------------------------

@pytest.mark.parametrize("op", OPS)
def test_failing_repr_is_reported_and_prints_the_fallback(op):
    class Opaque(Unprintable):
        pass

    raised = [ValueError("repr"), LookupError("repr")]
    items = [Opaque(raised[0]), 2, Unprintable(raised[1])]
    with record_unraisable() as seen:
        result, data = run(op, items)
    assert result == 2.0
    assert data == (HEADER_BYTES[op] + b"  at index 0: <unprintable Opaque object>\n"
                    b"  at index 2: <unprintable Unprintable object>\n")
    assert [(t, o) for t, _, o in seen] == [(ValueError, items[0]), (LookupError, items[2])]
    assert seen[0][1] is raised[0] and seen[1][1] is raised[1]
    assert seen[0][2] is items[0] and seen[1][2] is items[2]


def test_repr_returning_a_non_string_is_reported():
    class NotAString:
        def __repr__(self):
            return 5

    item = NotAString()
    with record_unraisable() as seen:
        result, data = run("average", [item])
    assert result is None
    assert data == HEADER_BYTES["average"] + b"  at index 0: <unprintable NotAString object>\n"
    assert len(seen) == 1
    assert seen[0][0] is TypeError and seen[0][2] is item


@pytest.mark.parametrize("op", OPS)
def test_interrupt_from_repr_propagates(op):
    raised = KeyboardInterrupt()
    log = []
    s = LumoSeq(["a", 1, Unprintable(raised), Floaty(5.0, log), "b"])
    with record_unraisable() as seen:
        with capture_fd2() as cap:
            with pytest.raises(KeyboardInterrupt) as excinfo:
                getattr(s, op)()
    assert excinfo.value is raised
    assert seen == []
    assert log == []
    assert cap.data.startswith(HEADER_BYTES[op] + b"  at index 0: 'a'\n")
    assert b"index 2" not in cap.data and b"'b'" not in cap.data


# --- access from Python code run by the scan -----------------------------------------------

def test_conversion_may_read_the_receiver_but_not_skip_it():
    holder = {}

    class Reads:
        def __float__(self):
            return float(holder["s"].len())

    class Skips:
        def __float__(self):
            holder["s"].skip(1)
            return 100.0

        def __repr__(self):
            return "Skips()"

    s = LumoSeq([Reads(), Skips(), 1])
    holder["s"] = s
    result, data = run("sum", s)
    assert result == 4.0
    assert data == HEADER_BYTES["sum"] + b"  at index 1: Skips()\n"


def test_repr_that_skips_the_receiver_reports_already_borrowed():
    holder = {}

    class SkippingRepr:
        def __repr__(self):
            holder["s"].skip(1)
            return "never"

    item = SkippingRepr()
    s = LumoSeq([item, 2])
    holder["s"] = s
    with record_unraisable() as seen:
        result, data = run("min", s)
    assert result == 2.0
    assert data == HEADER_BYTES["min"] + b"  at index 0: <unprintable SkippingRepr object>\n"
    assert len(seen) == 1
    assert seen[0][0] is RuntimeError and str(seen[0][1]) == "Already borrowed"
    assert seen[0][2] is item


@pytest.mark.parametrize("op", OPS)
def test_receiver_held_by_skip_refuses_aggregates(op):
    s = LumoSeq([1, "x"])
    caught = []

    class N:
        def __index__(self):
            try:
                getattr(s, op)()
            except RuntimeError as e:
                caught.append(str(e))
            return 1

    with capture_fd2() as cap:
        s.skip(N())
    assert caught == ["Already mutably borrowed"]
    assert cap.data == b""


# --- a closed standard error ---------------------------------------------------------------

def test_closed_fd2_drops_warning_lines_silently():
    script = textwrap.dedent("""
        import os
        from lumo import LumoSeq
        s = LumoSeq([1, "x", None, 2.5])
        os.close(2)
        results = [s.sum(), s.average(), s.max(), s.min(), s.sum()]
        os.write(1, repr((results, s.list())).encode())
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b"([3.5, 1.75, 2.5, 1.0, 3.5], [1, 'x', None, 2.5])"


# --- against a model -----------------------------------------------------------------------

def model(op, items):
    if not items:
        return None, b""
    lines = []
    acc, count, extreme = 0.0, 0, None
    for i, x in enumerate(items):
        if not isinstance(x, (int, float)):
            lines.append(f"  at index {i}: {x!r}\n".encode())
            continue
        v = float(x)
        acc += v
        count += 1
        if extreme is None or (op == "max" and v > extreme) or (op == "min" and v < extreme):
            extreme = v
    written = HEADER_BYTES[op] + b"".join(lines) if lines else b""
    if op == "sum":
        return acc, written
    if op == "average":
        return (acc / count if count else None), written
    return extreme, written


@settings(max_examples=150, deadline=None)
@given(st.lists(st.one_of(st.integers(-10**6, 10**6), st.floats(allow_nan=True),
                          st.booleans(), st.text(max_size=4), st.none()), max_size=12))
def test_matches_a_model(items):
    for op in OPS:
        result, data = run(op, items)
        expected, written = model(op, items)
        if expected is None:
            assert result is None
        else:
            assert same_float(result, expected)
        assert data == written


# --- references ----------------------------------------------------------------------------

@pytest.mark.parametrize("op", OPS)
def test_refcounts_balanced_on_success(op):
    items = [Floaty(1.0), Item("x"), 2.5, Floaty(4.0), Item(None)]
    s = LumoSeq(items)
    with refcounts_balanced(*items, s):
        result, data = run(op, s)
        assert data.count(b"\n") == 3
        del result


@pytest.mark.parametrize("op", OPS)
def test_refcounts_balanced_with_failing_reprs(op):
    class FailingRepr:
        def __repr__(self):
            raise ValueError("fresh")

    items = [FailingRepr(), 1.0, FailingRepr()]
    s = LumoSeq(items)
    with refcounts_balanced(*items, s):
        with record_unraisable() as seen:
            run(op, s)
        assert len(seen) == 2
        seen.clear()


@pytest.mark.parametrize("where", ["float-interrupt", "float-memory", "repr-interrupt",
                                   "float-ordinary"])
@pytest.mark.parametrize("op", OPS)
def test_refcounts_balanced_on_failure(op, where):
    class InterruptingRepr:
        def __repr__(self):
            raise KeyboardInterrupt

    class Converting:
        def __init__(self, make):
            self.make = make

        def __float__(self):
            raise self.make()

        def __repr__(self):
            return "Converting()"

    bad = {"float-interrupt": Converting(KeyboardInterrupt),
           "float-memory": Converting(MemoryError),
           "repr-interrupt": InterruptingRepr(),
           "float-ordinary": Converting(ValueError)}[where]
    items = [Item(0), 1.0, bad, Item(3)]
    s = LumoSeq(items)
    with refcounts_balanced(*items, s):
        with capture_fd2():
            if where == "float-ordinary":
                assert getattr(s, op)() == 1.0
            else:
                with pytest.raises((KeyboardInterrupt, MemoryError)):
                    getattr(s, op)()


# --- allocation failures -------------------------------------------------------------------

SWEEP_SETUP = """
    s = LumoSeq([1, "x", 2.5, None, 4]).skip(2)
    def snapshot():
        return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
"""


def test_sum_fault_sweep():
    fault_sweep(setup=SWEEP_SETUP, call="""
        r = s.sum()
        assert r == 7.5
        return r
    """)


def test_average_fault_sweep():
    fault_sweep(setup=SWEEP_SETUP, call="""
        r = s.average()
        assert r == 2.5
        return r
    """)


def test_max_fault_sweep():
    fault_sweep(setup=SWEEP_SETUP, call="""
        r = s.max()
        assert r == 4.0
        return r
    """)


def test_min_fault_sweep():
    fault_sweep(setup=SWEEP_SETUP, call="""
        r = s.min()
        assert r == 1.0
        return r
    """)
