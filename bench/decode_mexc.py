"""decode_mexc against protobuf's own decoder (upb), on the same frames the simulator encodes:
time per frame, best of several rounds. Classes are generated from bench/mexc_push.proto into a
temporary directory at run time.

    python bench/decode_mexc.py     # prints one JSON line
"""

import importlib
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from corvane_ws.sim import mexc_protobuf as pb  # noqa: E402

DEALS = "spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT"
DEPTH = "spot@public.limit.depth.v3.api.pb@BTCUSDT@20"


def frames() -> dict[str, list[bytes]]:
    return {
        "deals (314)": [pb.wrapper(DEALS, 314, pb.aggre_deals(DEALS, i, 43000.0 + i), "BTCUSDT", i)
                        for i in range(1000)],
        "limit depth 20 (303)": [pb.wrapper(DEPTH, 303, pb.limit_depth(DEPTH, 20, i, 43000.0),
                                            "BTCUSDT", i) for i in range(1000)],
    }


def generated():
    out = Path(tempfile.mkdtemp(prefix="corvane-proto-"))
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{ROOT / 'bench'}",
                    f"--python_out={out}", "mexc_push.proto"], check=True)
    sys.path.insert(0, str(out))
    return importlib.import_module("mexc_push_pb2")


def walk(message) -> dict:
    """Every field of a parsed message as Python values, as decode_mexc gives them."""
    return {field.name: ([walk(v) for v in value] if field.is_repeated
                         else walk(value) if field.message_type else value)
            for field, value in message.ListFields()}


def per_frame(decode, data: list[bytes], rounds: int = 7) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for frame in data:
            decode(frame)
        best = min(best, (time.perf_counter() - start) / len(data))
    return best * 1e9


def main() -> None:
    import _corvane_ws_module as ws
    from google.protobuf import __version__ as protobuf_version
    from google.protobuf.internal import api_implementation

    parse = generated().PushDataV3ApiWrapper.FromString
    results = {"protobuf": f"{protobuf_version} ({api_implementation.Type()})", "ns_per_frame": {}}
    for name, data in frames().items():
        assert ws.decode_mexc(data[0])["channel"] == parse(data[0]).channel
        results["ns_per_frame"][name] = {
            "decode_mexc": per_frame(ws.decode_mexc, data),
            "protobuf parse": per_frame(parse, data),
            "protobuf parse + every field": per_frame(lambda f: walk(parse(f)), data),
        }
    print(json.dumps(results))


if __name__ == "__main__":
    main()
