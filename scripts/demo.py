"""make demo: start the local exchange simulator in its own process, point the client at it
through SSL_CERT_FILE, run examples/stream.py (with the simulator's control port, so that it
can announce a service upgrade mid-stream), then examples/books.py (order books through a gap
and a reconnect, checked against the simulator's), and stop the simulator on every way out.
Arguments go to both examples (--seconds)."""

import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main() -> int:
    ca_file = ROOT / "build" / "demo" / "ca.pem"
    sim = subprocess.Popen([sys.executable, "-m", "corvane_ws.sim", "--rate", "50", "--control-port", "0",
                            "--ca-file", str(ca_file)],
                           cwd=ROOT, stdout=subprocess.PIPE, text=True)
    try:
        ready = json.loads(sim.stdout.readline() or "{}")
        if "ws_port" not in ready:
            print("the simulator did not start", file=sys.stderr)
            return 1
        base = f"wss://localhost:{ready['ws_port']}"
        env = dict(os.environ, SSL_CERT_FILE=ready["ca_file"])
        print(f"Simulator on {base} (test CA {ready['ca_file']})", flush=True)
        control = f"http://127.0.0.1:{ready['control_port']}"
        streams = subprocess.call([sys.executable, str(ROOT / "examples" / "stream.py"),
                                   "--okx", f"{base}/ws/v5", "--mexc", f"{base}/ws",
                                   "--sim-control", control, *sys.argv[1:]], env=env)
        print(flush=True)
        books = subprocess.call([sys.executable, str(ROOT / "examples" / "books.py"),
                                 "--okx", f"{base}/ws/v5/public", "--mexc", f"{base}/ws",
                                 "--rest", f"https://localhost:{ready['rest_port']}",
                                 "--sim-control", control, *sys.argv[1:]], env=env)
        return streams or books
    except KeyboardInterrupt:
        return 130
    finally:
        sim.terminate()
        try:
            sim.wait(10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()


if __name__ == "__main__":
    sys.exit(main())
