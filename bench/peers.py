"""The peer libraries: which of them this interpreter has, and in which version.

A peer that is not installed (scripts/bench.sh leaves out one that does not install) is simply
absent: its cells are not run and the reports say so once.
"""
import importlib
from importlib import metadata

# Column name, import name, distribution name; in the order the reports show them.
PEERS = [
    ("iteration_utilities", "iteration_utilities", "iteration_utilities"),
    ("cytoolz", "cytoolz", "cytoolz"),
    ("toolz", "toolz", "toolz"),
    ("more_itertools", "more_itertools", "more-itertools"),
    ("PyFunctional", "functional", "PyFunctional"),
    ("asq", "asq", "asq"),
]
NAMES = [name for name, _, _ in PEERS]


def load(wanted=None):
    """Returns ({name: module}, {name: version}, [notes]) for the peers in `wanted` (all if None)."""
    modules, versions, notes = {}, {}, []
    for name, module, dist in PEERS:
        if wanted is not None and name not in wanted:
            continue
        try:
            modules[name] = importlib.import_module(module)
        except ImportError as e:
            notes.append(f"{name} is not installed here ({e.msg}); its columns are left out")
            continue
        try:
            versions[name] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[name] = "unknown"
    return modules, versions, notes
