"""Chainable, C#-style query operators over Python lists, written in C++."""

# Several methods are named after builtins (list, tuple, set, zip, ...). Inside the class body
# those names mean the methods, so every builtin type used there is spelled `builtins.x`.
import builtins
from collections.abc import Callable, Iterator
from types import GenericAlias
from typing import Any, Generic, Literal, Protocol, SupportsIndex, TypeAlias, TypeVar, final, overload

__all__ = ["LumoSeq"]

_T_co = TypeVar("_T_co", covariant=True)
_T = TypeVar("_T")
_U = TypeVar("_U")
_K = TypeVar("_K")
_V = TypeVar("_V")
_D = TypeVar("_D")
_A = TypeVar("_A")

class _SupportsDunderLT(Protocol):
    def __lt__(self, other: Any, /) -> Any: ...

class _SupportsDunderGT(Protocol):
    def __gt__(self, other: Any, /) -> Any: ...

# What `order_by`, `min_by` and `max_by` can compare: `<` or `>`, either side (the interpreter
# tries the reflected operation when the first returns NotImplemented).
_Comparable: TypeAlias = _SupportsDunderLT | _SupportsDunderGT

# The sequence arguments every operator with an `other` accepts: exactly these three kinds.
_SeqArg: TypeAlias = LumoSeq[_U] | builtins.list[_U] | builtins.tuple[_U, ...]

# `zips` takes a list of sequence arguments. A list is invariant, so a list of one kind is named on
# its own beside the list of mixed kinds; where a checker cannot solve the item type of a mixed
# list literal, the last overload of `zips` still accepts it, with items of type Any.
_SeqArgs: TypeAlias = (
    builtins.list[LumoSeq[_U]]
    | builtins.list[builtins.list[_U]]
    | builtins.list[builtins.tuple[_U, ...]]
    | builtins.list[LumoSeq[_U] | builtins.list[_U] | builtins.tuple[_U, ...]]
)

@final
class LumoSeq(Generic[_T_co]):
    """An immutable sequence of items with a cursor; every operator returns new objects.

    LumoSeq(items) copies the references of a list's items (the items themselves are shared).
    """

    def __new__(cls, items: builtins.list[_T]) -> LumoSeq[_T]: ...
    @classmethod
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """See PEP 585"""

    # Pickling and copying: a pickle holds a list of the items and the cursor, which the module's
    # _restore turns back into a sequence; copy.copy gives the sequence itself.
    def __reduce__(self) -> builtins.tuple[Callable[[builtins.list[_T_co], int], LumoSeq[_T_co]], builtins.tuple[builtins.list[_T_co], int]]:
        """Helper for pickle: the sequence is rebuilt by lumo._restore from a list of its items and its cursor."""
    def __copy__(self) -> LumoSeq[_T_co]:
        """Returns the sequence itself: it never changes, so a copy could not differ from it."""
    def __deepcopy__(self, memo: builtins.dict[int, Any] | None = None) -> LumoSeq[_T_co]:
        """Returns a sequence of deep copies of the items, made through memo, with the same cursor;
        the sequence itself when every item copies to itself.
        """

    # Conversions and element access: the whole sequence, whatever the cursor.
    def list(self) -> builtins.list[_T_co]:
        """Returns a Python list containing all items in the sequence."""
    def tuple(self) -> builtins.tuple[_T_co, ...]:
        """Returns a Python tuple containing all items in the sequence."""
    def set(self) -> builtins.set[_T_co]:
        """Returns a Python set containing all items in the sequence."""
    def enumerate(self, start_index: SupportsIndex = 0) -> LumoSeq[builtins.tuple[int, _T_co]]:
        """Returns a new sequence where each element is a tuple of (index, value)."""
    def iter(self) -> Iterator[_T_co]:
        """Returns a Python iterator over the sequence."""
    def len(self) -> int:
        """Returns the number of items in the sequence."""
    def empty(self) -> bool:
        """Returns true if the sequence is empty."""
    def rev(self) -> LumoSeq[_T_co]:
        """Reverses the sequence."""
    def select(self, func: Callable[[_T_co], _U]) -> LumoSeq[_U]:
        """Returns a new sequence applying the given function to each item."""
    def where(self, predicate: Callable[[_T_co], bool]) -> LumoSeq[_T_co]:
        """Returns a new sequence filtering items based on the given predicate.

        The predicate must return True or False (or a NumPy bool); anything else is a TypeError.
        """
    def of_type(self, ty: type[_U]) -> LumoSeq[_U]:
        """Returns a new sequence filtering items based on the given type."""
    def order_by(self, key: Callable[[_T_co], _Comparable]) -> LumoSeq[_T_co]:
        """Orders the sequence based on the given key function.

        Stable and ascending; keys are compared with `<` only, and a comparison that raises
        counts as "not before".
        """
    def group_by(self, key_func: Callable[[_T_co], _K]) -> LumoSeq[builtins.tuple[_K, LumoSeq[_T_co]]]:
        """Groups the items by key: a sequence of (key, LumoSeq of the group's items) tuples.

        Keys are the same key when their repr() texts are equal (1, 1.0 and True are three keys;
        unhashable keys work); the key object kept is the first one seen. Groups come in the order
        their keys first appear, which may change between versions: sort them when it matters.
        Each group keeps the items' order.
        """
    @overload
    def at(self, index: SupportsIndex, default: None = None) -> _T_co | None:
        """Returns the element at the given index, or the default value if the index is out of bounds."""
    @overload
    def at(self, index: SupportsIndex, default: _D) -> _T_co | _D: ...
    @overload
    def first(self, default: None = None) -> _T_co | None:
        """Returns the first element in the sequence, or the default value if the sequence is empty."""
    @overload
    def first(self, default: _D) -> _T_co | _D: ...
    @overload
    def last(self, default: None = None) -> _T_co | None:
        """Returns the last element in the sequence, or the default value if the sequence is empty."""
    @overload
    def last(self, default: _D) -> _T_co | _D: ...
    def append(self, item: _U) -> LumoSeq[_T_co | _U]:
        """Adds an item to the end of the sequence."""
    def prepend(self, item: _U) -> LumoSeq[_T_co | _U]:
        """Adds an item to the beginning of the sequence."""
    def join(
        self, other: _SeqArg[_U], outer_key_func: Callable[[_T_co], object], inner_key_func: Callable[[_U], object]
    ) -> LumoSeq[builtins.tuple[_T_co, _U]]:
        """Joins this sequence with another sequence based on matching keys.
        outer_key_func extracts keys from this sequence.
        inner_key_func extracts keys from the input sequence.
        Returns a new sequence with pairs of matching elements.
        """
    # Whole-element set operators: sameness is ==, so elements need not be hashable.
    def distinct(self) -> LumoSeq[_T_co]:
        """Returns a new sequence with duplicate elements removed."""
    def concat(self, other: _SeqArg[_U]) -> LumoSeq[_T_co | _U]:
        """Concatenates this sequence with another sequence, list, or tuple."""
    def union(self, other: _SeqArg[_U]) -> LumoSeq[_T_co | _U]:
        """Returns a new sequence with elements from both sequences, removing duplicates."""
    def intersect(self, other: _SeqArg[Any]) -> LumoSeq[_T_co]:
        """Returns a new sequence with elements that exist in both sequences."""
    def differ(self, other: _SeqArg[Any]) -> LumoSeq[_T_co]:
        """Returns a new sequence with elements from this sequence that don't exist in the other sequence."""
    # Cursor operations: the result shares the items and carries a new cursor.
    def skip(self, n: SupportsIndex) -> LumoSeq[_T_co]:
        """Skips the next n items in the sequence, advancing the pointer."""
    def restart(self) -> LumoSeq[_T_co]:
        """Restarts the sequence by resetting the pointer to zero."""
    def take(self, n: SupportsIndex) -> builtins.tuple[LumoSeq[_T_co], LumoSeq[_T_co]]:
        """Takes the next n items from the current position.
        Returns a tuple containing:
        - A new sequence with the next n items (or fewer if less are available)
        - The original sequence with the pointer advanced
        """
    @overload
    def zip(
        self, other: _SeqArg[_U], until_exhausted: Literal[False] = False
    ) -> LumoSeq[builtins.tuple[_T_co, _U]]:
        """Combines elements from this sequence with elements from another sequence.
        If until_exhausted is True, continues until both sequences are exhausted,
        filling in None for missing values. If False (default), stops when the shorter sequence is exhausted.
        """
    @overload
    def zip(self, other: _SeqArg[_U], until_exhausted: bool) -> LumoSeq[builtins.tuple[_T_co | None, _U | None]]: ...
    @overload
    def zips(
        self, others: _SeqArgs[_U], until_exhausted: Literal[False] = False
    ) -> LumoSeq[builtins.tuple[_T_co | _U, ...]]:
        """Combines elements from this sequence with elements from other sequences.
        Returns a new sequence with tuples containing corresponding elements from each sequence.
        If until_exhausted is True, continues until all sequences are exhausted,
        filling in None for missing values. If False (default), stops when the shortest sequence is exhausted.
        """
    @overload
    def zips(self, others: _SeqArgs[_U], until_exhausted: bool) -> LumoSeq[builtins.tuple[_T_co | _U | None, ...]]: ...
    @overload
    def zips(
        self, others: builtins.list[_SeqArg[Any]], until_exhausted: bool = False
    ) -> LumoSeq[builtins.tuple[Any, ...]]: ...
    def flatten(self) -> LumoSeq[Any]:
        """Expands nested LumoSeq, list and tuple items, at any depth, into one flat sequence.

        Every other value (str, bytes, dict, set, ...) is a leaf and stays one item.
        """
    # Numeric aggregates: items are read as floats; others are skipped with a warning on fd 2.
    def sum(self) -> float | None:
        """Returns the sum of all elements. Warns if non-numeric elements are present."""
    def average(self) -> float | None:
        """Returns the average of all elements. Warns if non-numeric elements are present."""
    def max(self) -> float | None:
        """Returns the maximum value in the sequence. Warns if non-numeric elements are present."""
    def min(self) -> float | None:
        """Returns the minimum value in the sequence. Warns if non-numeric elements are present."""
    def cast(self, ty: Callable[[_T_co], _U], silent: bool = False) -> LumoSeq[_U]:
        """Attempts to cast all items in the sequence to the specified type.
        If silent is True, items that can't be cast will be skipped instead of raising an error.

        ty must be a type object.
        """
    def to_dict(self, key_func: Callable[[_T_co], _K], value_func: Callable[[_T_co], _V]) -> dict[_K, _V]:
        """Creates a dictionary from the sequence using key_func to generate keys and value_func to generate values."""
    @overload
    def aggregate(self: LumoSeq[_T], func: Callable[[_T, _T], _T], seed: None = None) -> _T:
        """Applies an accumulator function over a sequence.
        The function should take two parameters: accumulator and item.
        """
    @overload
    def aggregate(self, func: Callable[[_A, _T_co], _A], seed: _A) -> _A: ...
    def skip_while(self, predicate: Callable[[_T_co], bool]) -> LumoSeq[_T_co]:
        """Skips elements as long as a condition is true."""
    def take_while(self, predicate: Callable[[_T_co], bool]) -> builtins.tuple[LumoSeq[_T_co], LumoSeq[_T_co]]:
        """Takes items from the current position as long as they satisfy the predicate.
        Returns a tuple containing:
        - A new sequence with the items that satisfy the predicate
        - The original sequence with the pointer advanced past those items
        """
    # Key-based set operators: keys are compared with ==, so they need not be hashable.
    def distinct_by(self, key_selector: Callable[[_T_co], object]) -> LumoSeq[_T_co]:
        """Returns a new sequence with elements having distinct values according to the key selector function."""
    def except_by(self, other: _SeqArg[_U], key_selector: Callable[[_T_co | _U], object]) -> LumoSeq[_T_co]:
        """Returns a new sequence with elements from this sequence whose keys don't exist in the other sequence."""
    def intersect_by(self, other: _SeqArg[_U], key_selector: Callable[[_T_co | _U], object]) -> LumoSeq[_T_co]:
        """Returns a new sequence with elements that exist in both sequences, comparing by keys."""
    def union_by(self, other: _SeqArg[_U], key_selector: Callable[[_T_co | _U], object]) -> LumoSeq[_T_co | _U]:
        """Returns a new sequence with elements from both sequences, removing duplicates based on keys."""
    def min_by(self, key_selector: Callable[[_T_co], _Comparable]) -> _T_co | None:
        """Returns the element with the minimum value as determined by the key selector."""
    def max_by(self, key_selector: Callable[[_T_co], _Comparable]) -> _T_co | None:
        """Returns the element with the maximum value as determined by the key selector."""
    def chunk(self, chunk_size: SupportsIndex) -> LumoSeq[LumoSeq[_T_co]]:
        """Splits the sequence into chunks of the specified size.
        Returns a new sequence containing subsequences (as LumoSeq objects) of the specified size.
        The last chunk may contain fewer elements if the sequence length is not divisible by the chunk_size.
        """

def _restore(items: list[_T], cursor: int) -> LumoSeq[_T]:
    """Rebuilds a pickled LumoSeq: a new sequence of the list's items with its cursor at the given position.

    Only an exact list and an exact int in 0..len(items) pass: anything else is a TypeError or a
    ValueError, whatever a pickle hands in.
    """

def _native_evaluations() -> int:
    """The number of calls answered without the interpreter so far."""

def _set_native(on: object, /) -> bool:
    """Turns native evaluation of simple functions on or off; returns the state before."""
