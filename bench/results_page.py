"""Puts a block of results into docs/benchmarks.md between its markers (<!-- name:start -->
and <!-- name:end -->), leaving the rest of the page as it is. Shared by run.py and orders.py."""

import sys
from pathlib import Path

PAGE = Path(__file__).resolve().parents[1] / "docs" / "benchmarks.md"


def put_results(marker: str, block: str, page: Path = PAGE) -> bool:
    """False, and a line on standard error, when the page lacks the markers: the results are
    still in bench/results, and a stale table on the page should not pass unseen."""
    text = page.read_text()
    start, end = f"<!-- {marker}:start -->", f"<!-- {marker}:end -->"
    if start not in text or end not in text.split(start, 1)[1]:
        print(f"{page}: no {start} ... {end}; the table there is not updated", file=sys.stderr)
        return False
    before, rest = text.split(start, 1)
    after = rest.split(end, 1)[1]
    page.write_text(f"{before}{start}\n{block}\n{end}{after}")
    return True
