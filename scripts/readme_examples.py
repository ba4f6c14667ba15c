"""Runs every Python example of a Markdown file, each in a fresh interpreter in an empty
directory, and compares what it prints with the block that follows it after a line "prints".

    python scripts/readme_examples.py README.md

Exits 1 if an example fails or prints something else. Run with the interpreter of an
environment that has nothing but the installed wheel, it shows that the examples work for a new
user as written."""

import importlib.util
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap

FENCE = re.compile(r"^( *)```(\w*)\s*$")


def blocks(text):
    """(language, code, line number) of each fenced block, dedented, in order."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        start, indent, lang = i, len(opening.group(1)), opening.group(2)
        i += 1
        body = []
        while i < len(lines) and lines[i].strip() != "```":
            body.append(lines[i][indent:] if lines[i][:indent].strip() == "" else lines[i])
            i += 1
        yield lang, "\n".join(body) + "\n", start + 1, i + 1
        i += 1


def examples(text):
    """(code, expected output or None, line number) of each Python example."""
    lines = text.splitlines()
    found = list(blocks(text))
    for k, (lang, code, line, end) in enumerate(found):
        if lang != "python":
            continue
        expected = None
        following = [ln.strip() for ln in lines[end:end + 3]]
        if k + 1 < len(found) and following[:2] == ["", "prints"]:
            expected = found[k + 1][1]
        yield code, expected, line


# Examples of an optional extra (tondra[dask], tondra[plot]) run only where it is installed: a
# new user with the wheel alone does not have it.
EXTRA_IMPORT = re.compile(r"^\s*(?:import|from)\s+(dask|distributed|matplotlib)\b", re.MULTILINE)


def missing_extra(code):
    """The first optional package the example imports that is not installed here, or None."""
    for name in EXTRA_IMPORT.findall(code):
        if importlib.util.find_spec(name) is None:
            return name
    return None


def main(path):
    text = pathlib.Path(path).read_text(encoding="utf-8")
    failed = 0
    count = 0
    skipped = 0
    for code, expected, line in examples(text):
        if missing_extra(code):
            print(f"{path}:{line}: skipped: needs {missing_extra(code)}, which is not installed")
            skipped += 1
            continue
        count += 1
        with tempfile.TemporaryDirectory() as empty:
            proc = subprocess.run([sys.executable, "-c", code], cwd=empty, capture_output=True,
                                  text=True, timeout=300)
        output = "\n".join(ln.rstrip() for ln in proc.stdout.splitlines()) + "\n"
        if proc.returncode != 0:
            failed += 1
            print(f"{path}:{line}: the example failed (exit {proc.returncode}):\n{proc.stderr}")
        elif expected is not None and output != expected:
            failed += 1
            print(f"{path}:{line}: the example printed\n{output}instead of\n{expected}")
    print(f"{path}: {count - failed} of {count} Python examples ran as written"
          + (f" ({skipped} skipped)" if skipped else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "README.md"))
