"""Runs every Python example of a Markdown file, each in a fresh interpreter in an empty
directory, and compares what it prints with the block that follows it after a line "prints".
Then runs the command's examples: each `sh` block of lines "$ <command>" followed by what it
prints, in an empty directory of its own, one command after another; "$ cat FILE" followed by
lines makes FILE of those lines first, so that the block's input is the one it shows.

    python scripts/readme_examples.py README.md
    python scripts/readme_examples.py README.md --show   # what the commands print now

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


def sessions(text):
    """(line number, [(command, expected lines)]) of each sh block of "$ " lines."""
    for lang, code, line, _ in blocks(text):
        lines = code.rstrip("\n").split("\n")
        if lang != "sh" or not lines or not lines[0].startswith("$ "):
            continue
        steps = []
        for ln in lines:
            if ln.startswith("$ "):
                steps.append((ln[2:], []))
            else:
                steps[-1][1].append(ln)
        yield line, steps


def run_session(steps, show):
    """Runs the commands of one block; the first difference from what it shows, or None."""
    with tempfile.TemporaryDirectory() as folder:
        for command, expected in steps:
            if command.startswith("cat ") and " " not in command[4:]:
                pathlib.Path(folder, command[4:]).write_text("\n".join(expected) + "\n")
            # The command as installed, or from this interpreter's packages.
            shell = command.replace("tondrakit ", f"{sys.executable} -m tondrakit ", 1) \
                if command.startswith("tondrakit ") else command
            proc = subprocess.run(["sh", "-c", shell + " 2>&1"], cwd=folder, capture_output=True,
                                  text=True, timeout=300)
            got = proc.stdout.rstrip("\n").split("\n") if proc.stdout else []
            if show:
                print(f"$ {command}", *got, sep="\n")
            elif got != expected:
                return f"$ {command}\nprinted\n" + "\n".join(got) + "\ninstead of\n" + "\n".join(expected)
    return None


def main(path, show=False):
    text = pathlib.Path(path).read_text(encoding="utf-8")
    if show:
        for _, steps in sessions(text):
            run_session(steps, show=True)
            print()
        return 0
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
    commands = 0
    for line, steps in sessions(text):
        if any("--plot" in command for command, _ in steps) and missing_extra("import matplotlib"):
            print(f"{path}:{line}: skipped: needs matplotlib, which is not installed")
            continue
        commands += 1
        difference = run_session(steps, show=False)
        if difference is not None:
            failed += 1
            print(f"{path}:{line}: the command example differs:\n{difference}")
    print(f"{path}: {commands} blocks of command examples run")
    return 1 if failed else 0


if __name__ == "__main__":
    arguments = [a for a in sys.argv[1:] if a != "--show"]
    sys.exit(main(arguments[0] if arguments else "README.md", show="--show" in sys.argv[1:]))
