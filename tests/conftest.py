"""Fixtures shared by every test folder."""

import signal

import pytest


@pytest.fixture
def deadline():
    """Fails the test, instead of hanging it, when it runs longer than 20 seconds."""

    def expire(signum, frame):
        raise TimeoutError("still blocked after 20 s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, 20)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
