"""Every Python block of the guide (docs/*.md) and of the README, and the logging demo, run each
in a fresh interpreter under `-X dev -W error`, so that the guide cannot drift from the code. A
block that cannot run on its own says so in the comment just before it:
`<!-- not run: needs ... -->`."""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).parents[2]
DOCUMENTS = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
BLOCK = re.compile(r"(?:<!--\s*(?P<skip>not run:[^>]*?)\s*-->\s*\n)?^```python\n(?P<code>.*?)^```",
                   re.MULTILINE | re.DOTALL)


def blocks():
    for document in DOCUMENTS:
        text = document.read_text()
        for found in BLOCK.finditer(text):
            line = text.count("\n", 0, found.start("code"))
            marks = [pytest.mark.skip(reason=found["skip"])] if found["skip"] else []
            yield pytest.param(found["code"], marks=marks, id=f"{document.relative_to(ROOT)}:{line}")


def test_the_guide_has_blocks_to_run():
    assert sum(1 for param in blocks() if not param.marks) >= 5


def run_quietly(directory, *arguments):
    # In a directory of its own: the code writes its log files where it runs.
    result = subprocess.run([sys.executable, "-X", "dev", "-W", "error", *arguments], cwd=directory,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "Warning" not in result.stderr, result.stderr


@pytest.mark.parametrize("code", list(blocks()))
def test_a_guide_block_runs_quietly(code, tmp_path):
    run_quietly(tmp_path, "-c", code)


def test_the_logging_demo_runs_quietly(tmp_path):
    run_quietly(tmp_path, str(ROOT / "examples" / "logging_demo.py"))
