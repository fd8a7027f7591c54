"""The credentials the simulator accepts (test values, never real keys)."""

from dataclasses import dataclass


@dataclass(frozen=True)
class ExchangeCredentials:
    api_key: str
    secret: str
    passphrase: str = ""


OKX_TEST = ExchangeCredentials("okx-test-key", "okx-test-secret", "okx-test-passphrase")
# MEXC: the API key travels in X-MEXC-APIKEY and the secret keys the HMAC.
MEXC_TEST = ExchangeCredentials("mexc-test-key", "mexc-test-secret")
