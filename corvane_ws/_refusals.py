"""An exchange's refusal of a subscription, read from its answer: OKX's error event that no
waiting call claimed (a call's refusal carries its request id and is matched first), MEXC's
"Not Subscribed successfully! [names]  Reason： Blocked!". Each gives the exchange's code, its
message and, where the answer names them, the refused streams; None for any other message."""

from __future__ import annotations

import json
from collections.abc import Callable

Refusal = tuple[str, str, str | None]
"""The exchange's code, its message, and the refused streams (None when not named)."""

Reader = Callable[[str], Refusal | None]

_OKX_ERROR = '"event":"error"'
_MEXC_REFUSED = "Not Subscribed successfully!"


def _object(text: str) -> dict[str, object] | None:
    try:
        answer = json.loads(text)
    except ValueError:
        return None
    return answer if isinstance(answer, dict) else None


def okx(text: str) -> Refusal | None:
    if _OKX_ERROR not in text or (answer := _object(text)) is None:
        return None
    if answer.get("event") != "error":
        return None
    return str(answer.get("code")), str(answer.get("msg", "")), None


def mexc(text: str) -> Refusal | None:
    if _MEXC_REFUSED not in text or (answer := _object(text)) is None:
        return None
    msg = answer.get("msg")
    if not isinstance(msg, str) or not msg.startswith(_MEXC_REFUSED):
        return None
    names = msg.partition("[")[2].partition("]")[0]
    return str(answer.get("code")), msg, names or None
