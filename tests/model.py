"""A plain-Python model of LumoSeq: the oracle of the differential tests.

Written to be read, not to be fast. Every operator is the obvious loop over a Python list that
calls user code (callbacks, __eq__, __lt__, __repr__, __float__, __index__, __bool__, __hash__) in
the same order and the same number of times as the extension, and raises the same exceptions.
Where the extension makes a choice of its own, the model makes the same one: groups come out in
first-seen order, order_by is a natural merge sort, inner join keys stay alive until the
join is done, flatten refuses a container that holds itself, and interrupts (anything that is not
an Exception) and MemoryError are never swallowed, not even where ordinary errors are discarded.

What user code makes for an operator (keys, accumulators, answers, results) is released when and
in the order the extension releases it, whose finalizers can tell: its vectors go from index 0
upward (`release`), where a Python list or tuple would go from the end; and a frame that an
exception's traceback keeps holds its locals as long as that exception lives, where the extension
holds nothing, so every exit by an exception drops what this module's frames hold before the
exception leaves (`forget_finished_frames`, then the operator's own releases).

Wording that CPython or the binding layer chooses (argument conversion failures, OverflowError)
is not modelled; such exceptions carry `lumo_names`, the method and parameter names that the
real message must contain.
"""

import operator
import os
import sys
import types

U64_MAX = 2**64 - 1
I64_MIN, I64_MAX = -2**63, 2**63 - 1

MESSAGES = {
    "concat": "Expected LumoSeq, list, or tuple for concatenation",
    "union": "Expected LumoSeq, list, or tuple for union",
    "intersect": "Expected LumoSeq, list, or tuple for intersection",
    "differ": "Expected LumoSeq, list, or tuple for except operation",
    "except_by": "Expected LumoSeq, list, or tuple for except_by operation",
    "intersect_by": "Expected LumoSeq, list, or tuple for intersect_by operation",
    "union_by": "Expected LumoSeq, list, or tuple for union_by operation",
    "join": "Expected LumoSeq, list, or tuple",
    "zip": "Expected LumoSeq, list, or tuple for zip operation",
    "zips": "Expected sequences (LumoSeq, list, or tuple) for zip operation",
}

HEADERS = {
    name: b"Warning: Non-numeric value found in sequence during %s operation\n" % name.encode()
    for name in ("sum", "average", "max", "min")
}


# ---- errors ---------------------------------------------------------------------------------

def swallowable(exc):
    """Whether a place that discards errors may discard `exc`: Ctrl-C and exhausted memory
    always reach the caller."""
    return isinstance(exc, Exception) and not isinstance(exc, MemoryError)


def argument_error(method, param, cause):
    """The TypeError for an argument that failed its conversion, caused by `cause`."""
    err = TypeError(f"{method}() argument '{param}': {cause}")
    err.lumo_names = (method, param)
    return err


def interpreter_overflow():
    """The interpreter's own OverflowError for an integer out of a C type's range."""
    err = OverflowError("int out of range")
    err.lumo_names = ()
    return err


def forget_finished_frames(exc):
    """Clears the locals of the finished frames of this module that `exc`'s traceback keeps: the
    helpers' references (keys compared or printed, the loop variables of scans) are all held by
    the operator too, which then releases them in its own order. Frames of user code keep theirs,
    as they do under the extension."""
    tb = exc.__traceback__
    while tb is not None:
        frame = tb.tb_frame
        if frame.f_code.co_filename == __file__:
            try:
                frame.clear()
            except RuntimeError:  # still running: the operator's own frame, or one that called it
                pass
        tb = tb.tb_next


def release(*vectors):
    """Drops the references of each list in `vectors`, from index 0 upward, as the extension
    releases a vector; the lists are left empty."""
    for vector in vectors:
        for i in range(len(vector)):
            vector[i] = None
        vector.clear()


def report_unraisable(exc, obj):
    # What PyErr_WriteUnraisable hands to the hook, as attributes of one object.
    sys.unraisablehook(types.SimpleNamespace(exc_type=type(exc), exc_value=exc,
                                             exc_traceback=exc.__traceback__, err_msg=None,
                                             object=obj))


# ---- parameter kinds ------------------------------------------------------------------------

def to_unsigned(method, param, value):
    if not isinstance(value, int):
        try:
            value = operator.index(value)
        except TypeError as e:
            raise argument_error(method, param, e) from e
    if not 0 <= value <= U64_MAX:
        raise interpreter_overflow()
    return value


def to_signed(method, param, value):
    try:
        value = operator.index(value)
    except TypeError as e:
        raise argument_error(method, param, e) from e
    if not I64_MIN <= value <= I64_MAX:
        raise interpreter_overflow()
    return value


def strict_bool(value):
    """True and False pass; so does a NumPy boolean scalar, recognised by its type's name and
    module. Anything else is a TypeError, however truthy."""
    if value is True or value is False:
        return value
    tp = type(value)
    if (tp.__name__ in ("bool_", "bool") and getattr(tp, "__module__", None) == "numpy"
            and hasattr(tp, "__bool__")):
        return bool(value)
    del value  # the error's traceback keeps this frame; the extension releases the answer now
    raise TypeError(f"'{tp.__qualname__}' object cannot be converted to 'PyBool'")


def strict_bool_argument(method, param, value):
    try:
        return strict_bool(value)
    except TypeError as e:
        raise argument_error(method, param, e) from e


def type_argument(method, param, value):
    if not isinstance(value, type):
        raise argument_error(method, param, f"must be a type, not {type(value).__name__}")
    return value


# ---- shared helpers -------------------------------------------------------------------------

def sequence_items(argument, message):
    """The items of a sequence argument, read from storage (a subclass's __iter__ never runs)."""
    if type(argument) is ModelSeq:
        with argument._shared():
            return list(argument._items)
    if isinstance(argument, list):
        return list.copy(argument)
    if isinstance(argument, tuple):
        return list(tuple.__getitem__(argument, slice(None)))
    raise TypeError(message)


def elements_equal(left, right):
    try:
        answer = left == right
    except BaseException as e:
        if swallowable(e):
            return False
        raise
    return bool(answer)  # an exception from the truth test propagates


def goes_before(a, b):
    """The key ordering of order_by: `a < b`, truth-tested; any ordinary error means no."""
    try:
        answer = a < b
        return answer is True or (answer is not False and bool(answer))
    except BaseException as e:
        if swallowable(e):
            return False
        raise


MIN_RUN = 32


def natural_merge_sort(order, before):
    """Natural merge sort: each run (ascending, or strictly descending and then reversed) is
    extended to MIN_RUN items by binary insertion, then neighbouring runs are merged pairwise
    from the left, pass after pass; on a tie the left run goes first. This is the extension's
    exact sequence of comparisons, so even a lying __lt__ gives the same order (and the same
    calls) in both."""
    a = list(order)
    n = len(a)
    ends = []
    lo = 0
    while lo < n:
        hi = lo + 1
        if hi < n:
            descending = before(a[hi], a[lo])
            hi += 1
            while hi < n and before(a[hi], a[hi - 1]) == descending:
                hi += 1
            if descending:
                a[lo:hi] = a[lo:hi][::-1]
        while hi < min(lo + MIN_RUN, n):
            left, right = lo, hi
            while left < right:
                middle = (left + right) // 2
                if before(a[hi], a[middle]):
                    right = middle
                else:
                    left = middle + 1
            a.insert(left, a.pop(hi))
            hi += 1
        ends.append(hi)
        lo = hi
    while len(ends) > 1:
        merged, kept, lo = [], [], 0
        for r in range(0, len(ends), 2):
            if r + 1 == len(ends):
                merged.extend(a[lo:ends[r]])
                kept.append(ends[r])
                break
            mid, hi = ends[r], ends[r + 1]
            i, j = lo, mid
            while i < mid and j < hi:
                if before(a[j], a[i]):
                    merged.append(a[j])
                    j += 1
                else:
                    merged.append(a[i])
                    i += 1
            merged.extend(a[i:mid])
            merged.extend(a[j:hi])
            kept.append(hi)
            lo = hi
        a, ends = merged, kept
    return a


def key_string(key):
    """The bytes by which group_by and join match keys and the aggregates print items."""
    try:
        text = repr(key)
    except BaseException as e:
        if not swallowable(e):
            raise
        failure = e
    else:
        try:
            return str.encode(text, "utf-8")
        except UnicodeEncodeError:  # lone surrogates: each becomes three U+FFFD
            raw = str.encode(text, "utf-8", "surrogatepass")
            return raw.decode("utf-8", "replace").encode("utf-8")
    report_unraisable(failure, key)
    del failure  # its traceback holds this frame: no cycle may keep `key` alive
    return b"<unprintable " + type(key).__name__.encode("utf-8") + b" object>"


def read_number(item):
    """(True, value) when `item` reads as a double the way PyFloat_AsDouble reads it, else
    (False, None) with the conversion's error discarded."""
    try:
        if isinstance(item, float):  # float subclasses too: the stored value, no __float__
            return True, float.__float__(item)
        tp = type(item)
        if hasattr(tp, "__float__"):
            value = tp.__float__(item)
            if not isinstance(value, float):
                raise TypeError(f"{tp.__name__}.__float__ returned non-float")
            return True, float.__float__(value)
        if hasattr(tp, "__index__"):
            return True, float(operator.index(item))
        raise TypeError(f"must be real number, not {tp.__name__}")
    except BaseException as e:
        if not swallowable(e):
            raise
        return False, None


def write_fd2(data):
    while data:
        data = data[os.write(2, data):]


def distinct_run(run):
    """The first of each group of equal items; a kept item is on the left of `==`."""
    if len(run) < 2:
        return list(run)
    kept = []
    for x in run:
        if not any(elements_equal(k, x) for k in kept):
            kept.append(x)
    return kept


def distinct_by_run(run, key_selector):
    """The first item of each group of equal keys; a kept key is on the left of `==`. A key
    equal to a kept one goes at once, the kept ones at the end."""
    if len(run) < 2:
        return list(run)
    kept, kept_keys, kx = [], [], None
    try:
        for x in run:
            kx = key_selector(x)
            if not any(elements_equal(k, kx) for k in kept_keys):
                kept.append(x)
                kept_keys.append(kx)
            kx = None
    except BaseException as e:
        forget_finished_frames(e)
        kx = None
        release(kept_keys)
        raise
    release(kept_keys)
    return kept


def error_text(caught):
    try:
        text = str(caught)
    except BaseException as e:
        if not swallowable(e):
            raise
        text = "<exception str() failed>"
    return type(caught).__qualname__ + ": " + text


def cast_failure(ty, index, caught):
    """The cast failure error for `caught`, which is being handled: an exception raised here
    instead must neither chain it nor keep it alive."""
    try:
        name = ty.__name__  # may raise: that exception is raised instead
    except BaseException as e:
        e.__context__ = None
        raise
    if not isinstance(name, str):
        return TypeError(f"'{type(name).__qualname__}' object cannot be converted to 'PyString'")
    return TypeError("Failed to cast item at index " + str(index) + " to " + name + ": "
                     + error_text(caught))


class _Shared:
    def __init__(self, seq):
        self.seq = seq

    def __enter__(self):
        if self.seq._access == -1:
            raise RuntimeError("Already mutably borrowed")
        self.seq._access += 1

    def __exit__(self, *exc_info):
        self.seq._access -= 1


class _Exclusive:
    def __init__(self, seq):
        self.seq = seq

    def __enter__(self):
        if self.seq._access != 0:
            raise RuntimeError("Already borrowed")
        self.seq._access = -1

    def __exit__(self, *exc_info):
        self.seq._access = 0


# ---- the sequence ---------------------------------------------------------------------------

class ModelSeq:
    """Items (a tuple, never changed), a cursor, and the access counter of the borrow rules."""

    __slots__ = ("_items", "_cursor", "_access")

    def __init__(self, items):
        if not isinstance(items, list):
            raise argument_error("LumoSeq", "items", f"must be list, not {type(items).__name__}")
        self._items = tuple(list.copy(items))
        self._cursor = 0
        self._access = 0

    @classmethod
    def _new(cls, items, cursor):
        seq = object.__new__(cls)
        seq._items = tuple(items)
        seq._cursor = cursor
        seq._access = 0
        return seq

    def _shared(self):
        return _Shared(self)

    def _exclusive(self):
        return _Exclusive(self)

    def _advanced(self, cursor):
        return ModelSeq._new(self._items, cursor)

    # conversions and element access

    def list(self):
        with self._shared():
            return list(self._items)

    def tuple(self):
        with self._shared():
            return tuple(self._items)

    def set(self):
        with self._shared():
            result = set()
            for item in self._items:
                result.add(item)
            return result

    def iter(self):
        with self._shared():
            return iter(list(self._items))

    def len(self):
        with self._shared():
            return len(self._items)

    def empty(self):
        with self._shared():
            return len(self._items) == 0

    def at(self, index, default=None):
        with self._shared():
            position = to_signed("at", "index", index)
            if position < 0:
                position += len(self._items)
            if 0 <= position < len(self._items):
                return self._items[position]
            return default

    def first(self, default=None):
        with self._shared():
            return self._items[0] if self._items else default

    def last(self, default=None):
        with self._shared():
            return self._items[-1] if self._items else default

    # cursor operations and single-item additions

    def skip(self, n):
        with self._exclusive():
            n = to_unsigned("skip", "n", n)
            return self._advanced(min(self._cursor + n, len(self._items)))

    def restart(self):
        with self._shared():
            return self._advanced(0)

    def _taken_and_advanced(self, end):
        return (ModelSeq._new(self._items[self._cursor:end], 0), self._advanced(end))

    def take(self, n):
        with self._shared():
            n = to_unsigned("take", "n", n)
            return self._taken_and_advanced(min(self._cursor + n, len(self._items)))

    def _scan_while(self, predicate):
        end = self._cursor
        while end < len(self._items) and strict_bool(predicate(self._items[end])):
            end += 1
        return end

    def skip_while(self, predicate):
        with self._shared():
            return self._advanced(self._scan_while(predicate))

    def take_while(self, predicate):
        with self._shared():
            return self._taken_and_advanced(self._scan_while(predicate))

    def append(self, item):
        with self._shared():
            return ModelSeq._new(self._items + (item,), self._cursor)

    def prepend(self, item):
        with self._shared():
            return ModelSeq._new((item,) + self._items, self._cursor)

    # projection and filtering

    def enumerate(self, start_index=0):
        with self._shared():
            start = to_unsigned("enumerate", "start_index", start_index)
            return ModelSeq._new([(start + p, item) for p, item in enumerate(self._items)], 0)

    def select(self, func):
        with self._shared():
            out = []
            try:
                for item in self._items:
                    out.append(func(item))
            except BaseException:
                release(out)
                raise
            return ModelSeq._new(out, 0)

    def where(self, predicate):
        with self._shared():
            return ModelSeq._new([item for item in self._items if strict_bool(predicate(item))], 0)

    def of_type(self, ty):
        with self._shared():
            ty = type_argument("of_type", "ty", ty)
            return ModelSeq._new([item for item in self._items if isinstance(item, ty)], 0)

    def cast(self, ty, silent=False):
        with self._shared():
            ty = type_argument("cast", "ty", ty)
            silent = strict_bool_argument("cast", "silent", silent)
            out = []
            try:
                for index, item in enumerate(self._items):
                    try:
                        out.append(ty(item))
                        continue
                    except BaseException as caught:
                        if not swallowable(caught):
                            raise
                        if silent:
                            continue  # the exception, and all that its traceback holds, goes now
                        failure = cast_failure(ty, index, caught)
                    raise failure  # `caught` is gone by now, before the results are released
            except BaseException as e:
                forget_finished_frames(e)  # cast_failure's, should it have raised
                release(out)
                raise
            return ModelSeq._new(out, 0)

    # ordering

    def order_by(self, key):
        with self._shared():
            keys = []  # held until the sort is done, then released in input order
            try:
                for item in self._items:
                    keys.append(key(item))
                order = list(range(len(keys)))
                if len(order) >= 2:
                    order = natural_merge_sort(order, lambda a, b: goes_before(keys[a], keys[b]))
            except BaseException as e:
                forget_finished_frames(e)
                release(keys)
                raise
            release(keys)
            return ModelSeq._new([self._items[i] for i in order], 0)

    def rev(self):
        with self._shared():
            return ModelSeq._new(self._items[::-1], 0)

    # grouping and dictionaries

    def group_by(self, key_func):
        with self._shared():
            groups = {}  # key string -> [first key object, items]; a dict keeps first-seen order
            key = None
            try:
                for item in self._items:
                    key = key_func(item)
                    text = key_string(key)
                    if text in groups:
                        groups[text][1].append(item)
                    else:
                        groups[text] = [key, [item]]
                    key = None  # a later key of a group goes at once; its group keeps the first
            except BaseException as e:
                forget_finished_frames(e)
                key = None
                for group in groups.values():
                    group[0] = None
                raise
            return ModelSeq._new([(key, ModelSeq._new(items, 0)) for key, items in groups.values()], 0)

    def to_dict(self, key_func, value_func):
        with self._shared():
            result, k, v = {}, None, None
            try:
                for item in self._items:
                    k = key_func(item)
                    v = value_func(item)
                    result[k] = v
                    v = k = None  # a key equal to one stored goes here; the dict keeps the first
            except BaseException as e:
                forget_finished_frames(e)
                v = k = result = None
                raise
            return result

    # reshaping

    def chunk(self, chunk_size):
        with self._shared():
            size = to_unsigned("chunk", "chunk_size", chunk_size)
            if size == 0:
                raise ValueError("Chunk size must be greater than 0")
            items = self._items
            return ModelSeq._new([ModelSeq._new(items[i:i + size], 0)
                                  for i in range(0, len(items), size)], 0)

    def flatten(self):
        with self._shared():
            out = []
            _expand(self._items, {id(self)}, out)
            return ModelSeq._new(out, 0)

    # whole-element set operators

    def distinct(self):
        with self._shared():
            return ModelSeq._new(distinct_run(self._items), 0)

    def concat(self, other):
        with self._shared():
            return ModelSeq._new(list(self._items) + sequence_items(other, MESSAGES["concat"]), 0)

    def union(self, other):
        with self._shared():
            result = distinct_run(self._items)  # before `other` is looked at
            for y in distinct_run(sequence_items(other, MESSAGES["union"])):
                if not any(elements_equal(x, y) for x in result):
                    result.append(y)
            return ModelSeq._new(result, 0)

    def intersect(self, other):
        with self._shared():
            theirs = distinct_run(sequence_items(other, MESSAGES["intersect"]))
            mine = distinct_run(self._items)
            if not mine or not theirs:
                return ModelSeq._new([], 0)
            return ModelSeq._new([x for x in mine if any(elements_equal(x, y) for y in theirs)], 0)

    def differ(self, other):
        with self._shared():
            theirs = distinct_run(sequence_items(other, MESSAGES["differ"]))
            mine = distinct_run(self._items)
            return ModelSeq._new([x for x in mine if not any(elements_equal(x, y) for y in theirs)], 0)

    # key-based set operators

    def distinct_by(self, key_selector):
        with self._shared():
            return ModelSeq._new(distinct_by_run(self._items, key_selector), 0)

    def _filter_by_key(self, other, key_selector, message, wanted):
        theirs = sequence_items(other, message)
        their_keys, survivors, kx = [], [], None
        try:
            for y in theirs:
                their_keys.append(key_selector(y))
            for x in self._items:
                kx = key_selector(x)
                if any(elements_equal(ak, kx) for ak in their_keys) == wanted:
                    survivors.append(x)
                kx = None
        except BaseException as e:
            forget_finished_frames(e)
            kx = None
            release(their_keys)
            raise
        release(their_keys)  # the argument's keys serve the membership test alone
        return ModelSeq._new(distinct_by_run(survivors, key_selector), 0)

    def except_by(self, other, key_selector):
        with self._shared():
            return self._filter_by_key(other, key_selector, MESSAGES["except_by"], False)

    def intersect_by(self, other, key_selector):
        with self._shared():
            return self._filter_by_key(other, key_selector, MESSAGES["intersect_by"], True)

    def union_by(self, other, key_selector):
        with self._shared():
            joined = list(self._items) + sequence_items(other, MESSAGES["union_by"])
            return ModelSeq._new(distinct_by_run(joined, key_selector), 0)

    # combination

    def zip(self, other, until_exhausted=False):
        with self._shared():
            until_exhausted = strict_bool_argument("zip", "until_exhausted", until_exhausted)
            inputs = [list(self._items), sequence_items(other, MESSAGES["zip"])]
            return ModelSeq._new(_zip_inputs(inputs, until_exhausted), 0)

    def zips(self, others, until_exhausted=False):
        with self._shared():
            if not isinstance(others, list):
                raise argument_error("zips", "others", f"must be a list, not {type(others).__name__}")
            until_exhausted = strict_bool_argument("zips", "until_exhausted", until_exhausted)
            inputs = [list(self._items)]
            for element in list.copy(others):
                inputs.append(sequence_items(element, MESSAGES["zips"]))
            return ModelSeq._new(_zip_inputs(inputs, until_exhausted), 0)

    def join(self, other, outer_key_func, inner_key_func):
        with self._shared():
            inner = sequence_items(other, MESSAGES["join"])
            index = {}
            inner_keys = []  # alive until the end: an address in a repr cannot be reused meanwhile
            key = None
            try:
                for y in inner:
                    key = inner_key_func(y)
                    inner_keys.append(key)
                    index.setdefault(key_string(key), []).append(y)
                    key = None
                pairs = []
                for x in self._items:
                    key = outer_key_func(x)
                    text = key_string(key)
                    key = None  # an outer key goes as soon as it has printed
                    for y in index.get(text, []):
                        pairs.append((x, y))
            except BaseException as e:
                forget_finished_frames(e)
                key = None
                release(inner_keys)
                raise
            release(inner_keys)
            return ModelSeq._new(pairs, 0)

    # numeric aggregates

    def _aggregate(self, name):
        with self._shared():
            if not self._items:
                return None
            header_written = False
            total, count, extreme = 0.0, 0, None
            for i, item in enumerate(self._items):
                numeric, v = read_number(item)
                if numeric:
                    if name in ("sum", "average"):
                        total += v
                        count += 1
                    elif extreme is None or (v > extreme if name == "max" else v < extreme):
                        extreme = v  # a NaN met later never replaces it; of equal values the first stays
                    continue
                if not header_written:
                    write_fd2(HEADERS[name])
                    header_written = True
                write_fd2(b"  at index %d: " % i + key_string(item) + b"\n")
            if name == "sum":
                return total
            if name == "average":
                return total / count if count else None
            return extreme

    def sum(self):
        return self._aggregate("sum")

    def average(self):
        return self._aggregate("average")

    def max(self):
        return self._aggregate("max")

    def min(self):
        return self._aggregate("min")

    # folding and key extremes

    def aggregate(self, func, seed=None):
        with self._shared():
            if not self._items:
                raise ValueError("Cannot aggregate an empty sequence")
            if seed is None:
                accumulator, rest = self._items[0], self._items[1:]
            else:
                accumulator, rest = seed, self._items
            try:
                for item in rest:
                    accumulator = func(accumulator, item)
            except BaseException:
                accumulator = None
                raise
            return accumulator

    def _extreme_by(self, key_selector, better):
        with self._shared():
            if not self._items:
                return None
            best = self._items[0]
            best_key = key_selector(best)
            k = answer = None
            try:
                for item in self._items[1:]:
                    k = key_selector(item)
                    answer = better(k, best_key)  # an exception from the comparison propagates
                    try:
                        wins = bool(answer)
                    except BaseException as e:
                        if not swallowable(e):
                            raise
                        wins = False
                    answer = None
                    if wins:
                        best, best_key = item, k  # the key that lost goes here
                    k = None  # or here
            except BaseException as e:
                forget_finished_frames(e)
                answer = k = best_key = None
                raise
            return best

    def min_by(self, key_selector):
        return self._extreme_by(key_selector, operator.lt)

    def max_by(self, key_selector):
        return self._extreme_by(key_selector, operator.gt)


# Code that prints or names a sequence's type (default repr, error messages) sees the same text
# for both implementations.
ModelSeq.__name__ = ModelSeq.__qualname__ = "LumoSeq"
ModelSeq.__module__ = "builtins"


def _expand(values, on_path, out):
    for v in values:
        if not (type(v) is ModelSeq or isinstance(v, (list, tuple))):
            out.append(v)
            continue
        if id(v) in on_path:
            raise RecursionError("flatten() found a container that holds itself")
        on_path.add(id(v))
        _expand(sequence_items(v, ""), on_path, out)
        on_path.discard(id(v))


def _zip_inputs(inputs, until_exhausted):
    lengths = [len(items) for items in inputs]
    limit = max(lengths) if until_exhausted else min(lengths)
    return [tuple(items[k] if k < len(items) else None for items in inputs) for k in range(limit)]
