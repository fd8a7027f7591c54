"""Order amounts and prices as the exact decimal text the exchange gets."""

from __future__ import annotations

import re
from decimal import Decimal, InvalidOperation

Number = Decimal | str | int
"""What an amount or a price may be: ``Decimal``, ``str`` or ``int``. A ``float`` is refused:
its binary value is rarely the decimal that was meant (0.1 is 0.1000000000000000055…)."""

_PLAIN = re.compile(r"[0-9]+(\.[0-9]+)?")


def decimal_text(value: object, name: str) -> str:
    """The positive finite decimal ``value`` as plain text (no exponent); a ``str`` already in
    that form is sent exactly as written. TypeError for a float or another type, ValueError for
    anything not a positive finite decimal."""
    if isinstance(value, bool) or not isinstance(value, (Decimal, str, int)):
        hint = " (pass Decimal or str: a float is not the decimal you wrote)" if isinstance(
            value, float) else ""
        raise TypeError(f"{name} must be a Decimal, str or int, not {type(value).__name__}{hint}")
    if isinstance(value, str) and _PLAIN.fullmatch(value):
        number = Decimal(value)
        text = value
    else:
        try:
            number = Decimal(value)
        except InvalidOperation:
            raise ValueError(f"{name} must be a decimal number, not {value!r}") from None
        text = format(number, "f") if number.is_finite() else ""
    if not number.is_finite() or number <= 0:
        raise ValueError(f"{name} must be a positive finite number, not {value!r}")
    return text
