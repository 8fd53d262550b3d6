"""Inputs tried by the property tests, per test; printed at the end of a run."""

import os
from collections import Counter

from hypothesis import settings

TRIED: Counter = Counter()

# The hypothesis settings the property tests run with (profiles in conftest).
PROFILE_NAME = "fuzz" if os.environ.get("KORVANE_FUZZ") == "1" else "suite"


def profile():
    return settings.get_profile(PROFILE_NAME)
