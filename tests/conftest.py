"""Hypothesis profiles. "ci", the default, keeps the whole suite inside the CI budget; "long"
(--hypothesis-profile=long) runs a hundred times as many examples. Tests that pin their own
max_examples keep it; the differential tests scale with the profile. The sanitizer and coverage
builds run slower, so they get half the examples. No example database: nothing is
written into the tree, and every run explores afresh; so a failure prints the blob that replays
it (@reproduce_failure), for the run's output is all there is to go on."""

import os

from hypothesis import settings

# The sanitizer and coverage builds run slower and need breadth, not depth: half the examples.
_SLOW_BUILD = os.environ.get("LUMO_SANITIZED") == "1" or bool(os.environ.get("LUMO_COVERAGE_RUN"))
_EXAMPLES = 100 // (2 if _SLOW_BUILD else 1)

settings.register_profile("ci", max_examples=_EXAMPLES, deadline=None, derandomize=False,
                          database=None, print_blob=True)
settings.register_profile("long", parent=settings.get_profile("ci"), max_examples=_EXAMPLES * 100)
settings.load_profile("ci")
