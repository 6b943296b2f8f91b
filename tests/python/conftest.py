import logging

import pytest

import quendral

# The logging bridge keeps the level a logger accepted at its first record for good, so the
# searches' logger is opened up before any search runs; tests that capture records attach their
# own handler, and tests of the caching itself run in a fresh interpreter.
logging.getLogger("quendral_base.search").setLevel(logging.DEBUG)
logging.getLogger("quendral_base.multiqueue").setLevel(logging.DEBUG)


def panic_type():
    """The module's internal-failure exception class (it is not a module attribute)."""
    try:
        quendral.make_rational_constant_node(1, 0)
    except BaseException as e:  # noqa: BLE001 - this is the point
        return type(e)
    raise AssertionError("a zero denominator did not fail")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()
