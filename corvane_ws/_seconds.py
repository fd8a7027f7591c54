"""Time arguments in seconds. Every wait of the package ends in a lock, an event loop's timer
or the module's read, each with a longest wait it takes; a longer one (or ``inf``) means "as
long as it takes", and is waited as the longest."""

from __future__ import annotations

import math
from typing import Final

LONGEST: Final = 1e9
"""About 31 years: within the range of threading's locks, asyncio's and uvloop's timers and the
module's read."""


def seconds(value: float, name: str) -> float:
    """`value` as a wait: a ``ValueError`` naming `name` for a negative number or NaN."""
    if math.isnan(value) or value < 0:
        raise ValueError(f"{name} must be a number of seconds >= 0, got {value!r}")
    return value if value <= LONGEST else LONGEST


def optional_seconds(value: float | None, name: str) -> float | None:
    """As ``seconds``; None (no limit) stays None."""
    return None if value is None else seconds(value, name)
