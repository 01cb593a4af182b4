"""Shared test helpers: refcount balance, fd 2 capture, unraisable-hook recording, fault injection."""
import ast
import contextlib
import gc
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest


@contextlib.contextmanager
def refcounts_balanced(*objects):
    """Asserts that the block leaves sys.getrefcount of each object as it found it."""
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    yield
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    assert after == before, f"refcounts changed: {before} -> {after}"


class Fd2Capture:
    data = b""


@contextlib.contextmanager
def capture_fd2():
    """Captures what is written straight to file descriptor 2 inside the block (as bytes)."""
    sys.stderr.flush()
    capture = Fd2Capture()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as tmp:
        os.dup2(tmp.fileno(), 2)
        try:
            yield capture
        finally:
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            tmp.seek(0)
            capture.data = tmp.read()


@contextlib.contextmanager
def record_unraisable():
    """Records every sys.unraisablehook call as (exc_type, exc_value, object) tuples."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda args: seen.append((args.exc_type, args.exc_value, args.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = old


_SWEEP_TEMPLATE = """
import os, sys, _testcapi
import lumo
from lumo import LumoSeq
{setup}
def _call():
{call}
_before = snapshot()
_call()                      # warm-up: caches and interned objects exist before arming
_streak = 0
for _k in range({max_points}):
    sys.stdout.flush()
    sys.stderr.flush()
    _pid = os.fork()
    if _pid == 0:
        _testcapi.set_nomemory(_k, _k + 1)
        try:
            _result = _call()
            _outcome = 10
        except MemoryError:
            _outcome = 11
        finally:
            _testcapi.remove_mem_hooks()
        assert snapshot() == _before, "receiver changed"
        sys.stdout.flush()
        if os.environ.get("LUMO_COVERAGE_RUN"):
            sys.exit(_outcome)  # a normal exit, so that gcov writes this child's counts
        os._exit(_outcome)
    _status = os.waitstatus_to_exitcode(os.waitpid(_pid, 0)[1])
    if _status not in (10, 11):
        sys.stdout.write("injection point %d: exit status %d" % (_k, _status))
        sys.exit(1)
    _streak = _streak + 1 if _status == 10 else 0
    if _streak == {streak}:
        sys.stdout.write("ok after %d" % (_k + 1 - _streak))
        sys.exit(0)
sys.stdout.write("still failing after %d injection points" % {max_points})
sys.exit(1)
"""


def _hoist_lambdas(setup, call):
    """Moves every lambda of `call` into `setup`, as a module-level name made before arming.

    CPython 3.12 and 3.13 release a new function's code object twice when making the function
    fails, which corrupts the heap of the process under test; so the armed code must create no
    function. Lambdas become globals (they may use setup's names, not the call's locals); generator
    expressions, nested functions and classes are refused.
    """
    tree = ast.parse(call)
    hoisted = []

    class Hoist(ast.NodeTransformer):
        def visit_Lambda(self, node):
            name = f"_lambda_{len(hoisted)}"
            hoisted.append(f"{name} = {ast.unparse(node)}")
            return ast.copy_location(ast.Name(id=name, ctx=ast.Load()), node)

    for node in ast.walk(tree):
        if isinstance(node, (ast.GeneratorExp, ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            raise ValueError(f"the armed call must not create a function: {ast.unparse(node)}")
    if not any(isinstance(node, ast.Lambda) for node in ast.walk(tree)):
        return setup, call
    tree = ast.fix_missing_locations(Hoist().visit(tree))
    return setup + "\n" + "\n".join(hoisted) + "\n", ast.unparse(tree)


def fault_sweep(setup, call, max_points=600, streak=12):
    """Runs `call` under _testcapi.set_nomemory(k, k + 1) for k = 0, 1, ... in fresh processes.

    `setup` is module-level code that must define the inputs and a function `snapshot()` that
    describes the receiver; `call` is the body of a function (it may `return`). Every injection
    point must end in success or MemoryError with the receiver unchanged; the sweep stops at the
    first k from which the call succeeds `streak` times in a row (a single success is not the end:
    a failure that the interpreter swallows, such as one inside the unraisable hook, lets the call
    succeed while later allocations are still untested). Returns that k.

    One subprocess sets up and warms up once, then forks a child per injection point: each point
    starts from the same warmed-up state, and a crash or a broken interpreter stays in its child.
    The child leaves through os._exit, so interpreter shutdown never runs after an injected
    failure, except in the coverage run, where the counters are written at a normal exit.
    """
    pytest.importorskip("_testcapi")
    setup, call = _hoist_lambdas(textwrap.dedent(setup), textwrap.dedent(call))
    source = _SWEEP_TEMPLATE.format(setup=setup, call=textwrap.indent(call, "    "),
                                    max_points=max_points, streak=streak)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, timeout=300)
    out = proc.stdout.decode()
    assert proc.returncode == 0 and out.startswith("ok after "), (
        f"rc={proc.returncode} out={out!r}\n{proc.stderr.decode()[-3000:]}")
    return int(out.split()[-1])


_HALF_BUILT_TEMPLATE = r'''
import ctypes, gc, sys
from lumo import LumoSeq

def in_the_making(first):
    # tuple() of a generator fills a tuple that the collector already tracks, so code that the
    # generator runs finds it through gc.get_referrers, its later slots still empty (NULL).
    for referrer in gc.get_referrers(first):
        if type(referrer) is tuple and referrer[0] is first:
            return referrer
    # From 3.14 on tuple() fills a private buffer and shows only the finished tuple; the state is
    # then made by hand: a tracked tuple of ten slots with only the first one filled.
    if sys.version_info < (3, 14):
        raise AssertionError("tuple() showed no tuple in the making")
    new = ctypes.pythonapi.PyTuple_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_ssize_t]
    made = new(10)
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(first))
    ctypes.c_void_p.from_address(id(made) + tuple.__basicsize__).value = id(first)
    return made

first = "".join(["x"] * 3)  # made at run time: nothing else refers to it

def generate():
    yield first
    ns = {{"t": in_the_making(first), "LumoSeq": LumoSeq}}
    assert "<NULL>" in repr(ns["t"]), "the tuple is whole"
    exec({setup!r}, ns)
    try:
        answer = repr(eval({call!r}, ns))
    except Exception as exc:
        answer = "raises " + type(exc).__name__
    print(answer, "tracked" if gc.is_tracked(ns["t"]) else "untracked")
    ns.clear()  # the lambdas and classes of the call read `t` from here

try:
    tuple(generate())
    print("tuple() returns")
except SystemError:
    print("tuple() raises SystemError")
'''


def half_built_outcome(call, setup=""):
    """Evaluates `call` where `t` is a tuple that tuple() is still filling, in a fresh process.

    `t` is found as a program can find it, through gc.get_referrers from inside the generator that
    tuple() is draining, with its later slots still empty (3.14 and later fill a buffer and show no
    such tuple: one is then made by hand with ctypes). `setup` runs first in the namespace of the
    call, which holds `t` and LumoSeq. Returns (exit status, output, error output); the output
    names the call's repr or the type of exception it raised, whether the collector still tracks
    `t`, and whether tuple() could then finish, which it cannot while anything still holds `t`
    (3.12 and 3.13 raise SystemError there).
    """
    source = _HALF_BUILT_TEMPLATE.format(setup=textwrap.dedent(setup), call=call)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def at_every_depth(probe, recursion_limit):
    """Calls probe(depth) at each depth of a recursion that goes one level of C and of Python
    recursion deeper each time, until the interpreter's limit (with sys.setrecursionlimit set to
    `recursion_limit` meanwhile) stops it."""
    def descend(depth):
        probe(depth)
        for _ in map(descend, [depth + 1]):
            pass

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(recursion_limit)
    try:
        descend(0)
    except RecursionError:
        pass
    finally:
        sys.setrecursionlimit(limit)
