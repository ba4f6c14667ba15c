"""The README's Python examples and its command's examples run as written and print what it says
they print (the wheel test runs them again in an environment that has nothing but the wheel)."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_readme_examples_run_and_print_what_the_readme_shows():
    proc = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "readme_examples.py"), str(ROOT / "README.md")],
        capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
