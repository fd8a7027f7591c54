"""Test certificates, made fresh at every start with trustme.

"valid" is signed by the CA whose file clients trust (through SSL_CERT_FILE) and names
localhost, 127.0.0.1 and ::1; "wrong-host" is signed by that CA for another name; "untrusted"
names the right hosts but comes from a CA nobody trusts.
"""

import ssl
from pathlib import Path

import trustme

KINDS = ("valid", "wrong-host", "untrusted")


class TestCertificates:
    def __init__(self) -> None:
        self.ca = trustme.CA(organization_name="corvane-ws simulator")
        self._stranger = trustme.CA(organization_name="nobody trusts this")
        self._certs = {
            "valid": self.ca.issue_cert("localhost", "127.0.0.1", "::1"),
            "wrong-host": self.ca.issue_cert("wrong.example"),
            "untrusted": self._stranger.issue_cert("localhost", "127.0.0.1", "::1"),
        }

    def write_ca(self, path: Path) -> Path:
        path.parent.mkdir(parents=True, exist_ok=True)
        self.ca.cert_pem.write_to_path(str(path))
        return path

    def server_context(self, kind: str = "valid") -> ssl.SSLContext:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self._certs[kind].configure_cert(ctx)
        return ctx
