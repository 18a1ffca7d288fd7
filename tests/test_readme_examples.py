"""Every fenced Python example of the README and the docs/ pages runs, and prints what it shows.

A ``print(...)`` line whose comment follows it shows that line's expected output.
"""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)
SHOWN_OUTPUT = re.compile(r"^\s*print\(.*\)\s+#\s?(.*)$")
IMPORTED = re.compile(r"^\s*(?:import|from)\s+([A-Za-z_]\w*)", re.MULTILINE)
# Examples of the optional extras run where the extras are installed.
EXTRAS = {"pandas", "pyarrow", "polars", "dask", "distributed", "geopandas", "shapely"}


def examples_of(document: Path) -> list[str]:
    return FENCE.findall(document.read_text(encoding="utf-8"))


def all_examples() -> list[tuple[str, str]]:
    return [
        (f"{document.name}-{index}", example)
        for document in DOCUMENTS
        for index, example in enumerate(examples_of(document))
    ]


def shown_output(example: str) -> list[str]:
    return [m.group(1).strip() for line in example.splitlines() if (m := SHOWN_OUTPUT.match(line))]


def test_the_readme_has_examples() -> None:
    assert examples_of(ROOT / "README.md"), "README.md has no ```python examples"


@pytest.mark.parametrize("example", [e for _, e in all_examples()], ids=[n for n, _ in all_examples()])
def test_documented_example_runs_and_prints_what_it_shows(example: str, tmp_path: Path) -> None:
    for module in set(IMPORTED.findall(example)) & EXTRAS:
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"the example needs {module}, which is not installed")
    # A fresh interpreter per example, as a user pasting it would have, in an empty
    # folder, finding the package where this interpreter finds it.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, "-c", example], cwd=tmp_path, capture_output=True, text=True,
        timeout=300, env=env,
    )
    assert run.returncode == 0, run.stderr
    printed = [line.strip() for line in run.stdout.splitlines()]
    expected = shown_output(example)
    if expected:
        assert printed == expected
