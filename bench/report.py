"""Writes what a benchmark prints into its own section of docs/benchmarks.md.

A section lies between ``<!-- bench:NAME -->`` and ``<!-- /bench:NAME -->``;
a run replaces its section (or appends it when it is new) with the command
that made it and every line printed inside :func:`section`. Markdown table
rows go in as they are, other lines as a block of text.
"""

from __future__ import annotations

import io
import shlex
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

BENCHMARKS = Path(__file__).resolve().parent.parent / "docs" / "benchmarks.md"
HEADER = ("# Benchmarks\n\nThe tables the scripts in `bench/` print, each written by its script's last run "
          "(see [performance](performance.md) for what they mean).\n")


class _Tee(io.TextIOBase):
    def __init__(self, out: io.TextIOBase) -> None:
        self.out, self.kept = out, io.StringIO()

    def write(self, text: str) -> int:
        self.kept.write(text)
        return self.out.write(text)

    def flush(self) -> None:
        self.out.flush()


@contextmanager
def section(name: str, title: str, path: Path = BENCHMARKS) -> Iterator[None]:
    """Prints as usual; when the block ends without an error, its output becomes section ``name``."""
    tee = _Tee(sys.stdout)
    sys.stdout = tee
    try:
        yield
    finally:
        sys.stdout = tee.out
    command = shlex.join(["python", f"bench/{Path(sys.argv[0]).name}", *map(_portable, sys.argv[1:])])
    replace_section(path, name, title, command, tee.kept.getvalue().splitlines())


def _portable(argument: str) -> str:
    """A path outside the repository as OTHER/name: the page names no machine's folders."""
    path = Path(argument)
    if not path.is_absolute():
        return argument
    root = BENCHMARKS.parent.parent
    return str(path.relative_to(root)) if path.is_relative_to(root) else f"OTHER/{path.name}"


def replace_section(path: Path, name: str, title: str, command: str, lines: list[str]) -> None:
    start, end = f"<!-- bench:{name} -->", f"<!-- /bench:{name} -->"
    body = "\n".join([start, f"## {title}", "", f"`{command}`", "", *_markdown(lines), end])
    text = path.read_text() if path.exists() else HEADER
    if start in text and end in text:
        before, rest = text.split(start, 1)
        text = before + body + rest.split(end, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + body + "\n"
    path.write_text(text)


def _markdown(lines: list[str]) -> list[str]:
    out: list[str] = []
    text: list[str] = []
    for line in [*lines, "|"]:  # the sentinel closes a last block of text
        if line.startswith("|"):
            if text:
                out += ["```", *text, "```", ""]
                text = []
            if line != "|":
                out.append(line)
        elif line.strip():
            if out and out[-1].startswith("|"):
                out.append("")
            text.append(line)
    return out
