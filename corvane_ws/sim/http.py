"""Just enough HTTP/1.1 for the REST and control endpoints: requests in turn on one connection
(keep-alive) for REST, one request per connection for control."""

import asyncio
import json
from http import HTTPStatus

from .recorder import RestRequest

MAX_HEAD = 64 * 1024


async def read_request(reader: asyncio.StreamReader) -> RestRequest | None:
    """The next request, or None if the peer closed or sent something that is not HTTP."""
    try:
        head = await reader.readuntil(b"\r\n\r\n")
    except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
        return None
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3:
        return None
    headers = []
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            headers.append((name, value.strip()))
    length = next((int(v) for k, v in headers if k.lower() == "content-length"), 0)
    try:
        body = await reader.readexactly(length)
    except (asyncio.IncompleteReadError, ConnectionError):
        return None
    return RestRequest(parts[0], parts[1], headers, body.decode("utf-8", "replace"), head + body)


def response(status: int, body: bytes | str, content_type: str = "application/json",
             length: int | None = None, headers: dict[str, str] | None = None,
             close: bool = True) -> bytes:
    data = body.encode() if isinstance(body, str) else body
    reason = HTTPStatus(status).phrase
    extra = "".join(f"{name}: {value}\r\n" for name, value in (headers or {}).items())
    head = (f"HTTP/1.1 {status} {reason}\r\nContent-Type: {content_type}\r\n{extra}"
            f"Content-Length: {len(data) if length is None else length}\r\n"
            f"{'Connection: close' if close else 'Connection: keep-alive'}\r\n\r\n")
    return head.encode() + data


def json_response(status: int, value: object, headers: dict[str, str] | None = None,
                  close: bool = True) -> bytes:
    return response(status, json.dumps(value, separators=(",", ":")), headers=headers, close=close)


def wants_close(request: RestRequest) -> bool:
    return (request.header("Connection") or "").lower() == "close"

