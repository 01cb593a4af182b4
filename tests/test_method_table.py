"""The method table: every method's text signature and docstring (the 46 operators and the pickling
and copying members), and the order in which the class lists them."""

import types

import pytest

from lumo import LumoSeq

# (name, text signature as Python reports it, docstring body or None) in the class's own order
METHODS = [
    ('list', '($self)', 'Returns a Python list containing all items in the sequence.'),
    ('tuple', '($self)', 'Returns a Python tuple containing all items in the sequence.'),
    ('set', '($self)', 'Returns a Python set containing all items in the sequence.'),
    ('enumerate', '($self, start_index=0)',
     'Returns a new sequence where each element is a tuple of (index, value).'),
    ('iter', '($self)', 'Returns a Python iterator over the sequence.'),
    ('len', '($self)', 'Returns the number of items in the sequence.'),
    ('empty', '($self)', 'Returns true if the sequence is empty.'),
    ('rev', '($self)', 'Reverses the sequence.'),
    ('select', '($self, func)', 'Returns a new sequence applying the given function to each item.'),
    ('where', '($self, predicate)',
     'Returns a new sequence filtering items based on the given predicate.'),
    ('of_type', '($self, ty)', 'Returns a new sequence filtering items based on the given type.'),
    ('order_by', '($self, key)', 'Orders the sequence based on the given key function.'),
    ('group_by', '($self, key_func)', None),
    ('at', '($self, index, default=None)',
     ('Returns the element at the given index, or the default value if the index is out of '
      'bounds.')),
    ('first', '($self, default=None)',
     ('Returns the first element in the sequence, or the default value if the sequence is '
      'empty.')),
    ('last', '($self, default=None)',
     'Returns the last element in the sequence, or the default value if the sequence is empty.'),
    ('append', '($self, item)', 'Adds an item to the end of the sequence.'),
    ('prepend', '($self, item)', 'Adds an item to the beginning of the sequence.'),
    ('join', '($self, other, outer_key_func, inner_key_func)',
     ('Joins this sequence with another sequence based on matching keys.\n'
      'outer_key_func extracts keys from this sequence.\n'
      'inner_key_func extracts keys from the input sequence.\n'
      'Returns a new sequence with pairs of matching elements.')),
    ('distinct', '($self)', 'Returns a new sequence with duplicate elements removed.'),
    ('concat', '($self, other)',
     'Concatenates this sequence with another sequence, list, or tuple.'),
    ('union', '($self, other)',
     'Returns a new sequence with elements from both sequences, removing duplicates.'),
    ('intersect', '($self, other)',
     'Returns a new sequence with elements that exist in both sequences.'),
    ('differ', '($self, other)',
     ("Returns a new sequence with elements from this sequence that don't exist in the other "
      'sequence.')),
    ('skip', '($self, n)', 'Skips the next n items in the sequence, advancing the pointer.'),
    ('restart', '($self)', 'Restarts the sequence by resetting the pointer to zero.'),
    ('take', '($self, n)',
     ('Takes the next n items from the current position.\n'
      'Returns a tuple containing:\n'
      '- A new sequence with the next n items (or fewer if less are available)\n'
      '- The original sequence with the pointer advanced')),
    ('zip', '($self, other, until_exhausted=False)',
     ('Combines elements from this sequence with elements from another sequence.\n'
      'If until_exhausted is True, continues until both sequences are exhausted,\n'
      'filling in None for missing values. If False (default), stops when the shorter sequence '
      'is exhausted.')),
    ('zips', '($self, others, until_exhausted=False)',
     ('Combines elements from this sequence with elements from other sequences.\n'
      'Returns a new sequence with tuples containing corresponding elements from each '
      'sequence.\n'
      'If until_exhausted is True, continues until all sequences are exhausted,\n'
      'filling in None for missing values. If False (default), stops when the shortest '
      'sequence is exhausted.')),
    ('flatten', '($self)', None),
    ('sum', '($self)',
     'Returns the sum of all elements. Warns if non-numeric elements are present.'),
    ('average', '($self)',
     'Returns the average of all elements. Warns if non-numeric elements are present.'),
    ('max', '($self)',
     'Returns the maximum value in the sequence. Warns if non-numeric elements are present.'),
    ('min', '($self)',
     'Returns the minimum value in the sequence. Warns if non-numeric elements are present.'),
    ('cast', '($self, ty, silent=False)',
     ('Attempts to cast all items in the sequence to the specified type.\n'
      "If silent is True, items that can't be cast will be skipped instead of raising an error.")),
    ('to_dict', '($self, key_func, value_func)',
     ('Creates a dictionary from the sequence using key_func to generate keys and value_func '
      'to generate values.')),
    ('aggregate', '($self, func, seed=None)',
     ('Applies an accumulator function over a sequence.\n'
      'The function should take two parameters: accumulator and item.')),
    ('skip_while', '($self, predicate)', 'Skips elements as long as a condition is true.'),
    ('take_while', '($self, predicate)',
     ('Takes items from the current position as long as they satisfy the predicate.\n'
      'Returns a tuple containing:\n'
      '- A new sequence with the items that satisfy the predicate\n'
      '- The original sequence with the pointer advanced past those items')),
    ('distinct_by', '($self, key_selector)',
     ('Returns a new sequence with elements having distinct values according to the key '
      'selector function.')),
    ('except_by', '($self, other, key_selector)',
     ("Returns a new sequence with elements from this sequence whose keys don't exist in the "
      'other sequence.')),
    ('intersect_by', '($self, other, key_selector)',
     'Returns a new sequence with elements that exist in both sequences, comparing by keys.'),
    ('union_by', '($self, other, key_selector)',
     ('Returns a new sequence with elements from both sequences, removing duplicates based on '
      'keys.')),
    ('min_by', '($self, key_selector)',
     'Returns the element with the minimum value as determined by the key selector.'),
    ('max_by', '($self, key_selector)',
     'Returns the element with the maximum value as determined by the key selector.'),
    ('chunk', '($self, chunk_size)',
     ('Splits the sequence into chunks of the specified size.\n'
      'Returns a new sequence containing subsequences (as LumoSeq objects) of the specified '
      'size.\n'
      'The last chunk may contain fewer elements if the sequence length is not divisible by '
      'the chunk_size.')),
]

NAMES = [name for name, _, _ in METHODS]

# The pickling and copying members, after the 46 methods in the same table.
MEMBERS = [
    ('__reduce__', '($self)',
     'Helper for pickle: the sequence is rebuilt by lumo._restore from a list of its items and its '
     'cursor.'),
    ('__copy__', '($self)',
     'Returns the sequence itself: it never changes, so a copy could not differ from it.'),
    ('__deepcopy__', '($self, memo=None)',
     ('Returns a sequence of deep copies of the items, made through memo, with the same cursor;\n'
      'the sequence itself when every item copies to itself.')),
]


@pytest.mark.parametrize("name, signature, doc", METHODS + MEMBERS, ids=NAMES + [m[0] for m in MEMBERS])
def test_text_signature_and_docstring(name, signature, doc):
    method = getattr(LumoSeq, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_methods_are_listed_in_table_order():
    assert len(set(NAMES)) == 46
    listed = [name for name, value in LumoSeq.__dict__.items() if isinstance(value, types.MethodDescriptorType)]
    assert listed == NAMES + [name for name, _, _ in MEMBERS]
