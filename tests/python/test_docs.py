"""The README and the pages under docs/: the README stays a front page, every relative link and
anchor resolves, the quickstart runs as written against the simulator, and the bench tables
still have a place to go."""

import ast
import importlib.util
import os
import re
import subprocess
import sys

import pytest
from conftest import ROOT

from corvane_ws.sim import server

README = ROOT / "README.md"
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.glob("*.md"))
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")


def without_code_blocks(text):
    return re.sub(r"^ *```.*?^ *```", "", text, flags=re.M | re.S)


def prose(text):
    """The text outside fenced code blocks and inline code spans."""
    return re.sub(r"`[^`\n]*`", "", without_code_blocks(text))


def anchors(path):
    """GitHub's heading anchors: lower case, punctuation but - and _ dropped, spaces as -."""
    seen, found = {}, set()
    for heading in re.findall(r"^#{1,6} (.+)$", without_code_blocks(path.read_text()), flags=re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def links(path):
    return LINK.findall(prose(path.read_text()))


def quickstart_blocks():
    section = README.read_text().split("\n## Quickstart\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^```python\n(.*?)^```", section, flags=re.M | re.S)


def test_readme_is_a_front_page_that_links_every_page():
    assert len(README.read_text().splitlines()) < 300
    assert "make test" in README.read_text()  # CI runs the README's test command (.ci/run)
    linked = {(README.parent / target.split("#")[0]).resolve() for target in links(README)}
    assert PAGES and not [page.name for page in PAGES if page.resolve() not in linked]


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_each_page_says_what_it_is_for_and_links_back(page):
    title, blank, purpose = page.read_text().splitlines()[:3]
    assert title.startswith("# ") and not blank
    assert "](../README.md)" in purpose


@pytest.mark.parametrize("path", [README, *PAGES], ids=lambda p: p.name)
def test_relative_links_and_anchors_resolve(path):
    broken = []
    for target in links(path):
        if re.match(r"[a-z]+:", target):
            continue
        file, _, anchor = target.partition("#")
        resolved = (path.parent / file).resolve() if file else path
        if not resolved.exists():
            broken.append(target)
        elif anchor and (resolved.suffix != ".md" or anchor not in anchors(resolved)):
            broken.append(target)
    assert not broken


@pytest.mark.parametrize("number", range(len(quickstart_blocks())))
def test_readme_quickstart_runs_against_the_simulator(number, tmp_path):
    """Each block as a reader would paste it: a new interpreter, outside the repository."""
    env = {k: v for k, v in os.environ.items() if k != "SSL_CERT_FILE"}
    result = subprocess.run([sys.executable, "-c", quickstart_blocks()[number]], cwd=tmp_path,
                            env=env, capture_output=True, text=True, timeout=90)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()


def test_bench_tables_land_between_their_markers(tmp_path):
    found = importlib.util.spec_from_file_location("results_page",
                                                   ROOT / "bench" / "results_page.py")
    results_page = importlib.util.module_from_spec(found)
    found.loader.exec_module(results_page)
    assert results_page.PAGE == DOCS / "benchmarks.md"
    page = tmp_path / "benchmarks.md"
    page.write_text(results_page.PAGE.read_text())
    for marker in ("bench", "bench-package", "orders", "books"):
        assert results_page.put_results(marker, f"new {marker} table", page)
    text = page.read_text()
    for marker in ("bench", "bench-package", "orders", "books"):
        assert f"<!-- {marker}:start -->\nnew {marker} table\n<!-- {marker}:end -->" in text
    assert not results_page.put_results("nowhere", "table", page)


def test_the_simulator_page_lists_every_control_and_rest_fault():
    page = (DOCS / "simulator.md").read_text()
    control = ast.parse((ROOT / "corvane_ws" / "sim" / "control.py").read_text())
    listed = [line for line in ast.get_docstring(control).splitlines()[2:] if line.strip()]
    assert listed and [line for line in listed if line not in page] == []
    assert sorted(f for f in server.REST_FAULTS if f"`{f}`" not in page) == []
