"""Hypothesis settings of the property tests, and the inputs they tried.

Two profiles: "suite" (a few dozen inputs per test, for `make test`) and
"fuzz" (KORVANE_FUZZ=1, KORVANE_FUZZ_EXAMPLES inputs per test and round, for
`make fuzz`). The tests apply `PROFILE` themselves, so the hypothesis tests
of other folders keep their own settings.
"""

import os
from collections import Counter

from hypothesis import HealthCheck, settings

TRIED: Counter = Counter()  # test -> inputs tried, printed at the end of a run

settings.register_profile(
    "suite",
    max_examples=60,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.register_profile(
    "fuzz",
    max_examples=int(os.environ.get("KORVANE_FUZZ_EXAMPLES", "2000")),
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)

PROFILE = settings.get_profile("fuzz" if os.environ.get("KORVANE_FUZZ") == "1" else "suite")
