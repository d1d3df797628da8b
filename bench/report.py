"""Writes a benchmark section as a markdown file and echoes it."""
from pathlib import Path


def write_report(path, title, machine, notes, tables):
    method = "\n".join(["Method:", *(f"- {note}" for note in notes)])
    text = "\n\n".join([f"# {title}", "\n".join(machine), method, *tables])
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(text + "\n", encoding="utf-8")
    return text
