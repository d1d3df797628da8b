"""Markdown tables and the number formats used in them."""


def markdown_table(columns, rows):
    """`columns` holds (header, key, format) triples; `rows` holds dicts.

    A missing or None value prints as a dash. Formatted columns are
    right-aligned.
    """
    header = "| " + " | ".join(title for title, _, _ in columns) + " |"
    rule = "|" + "|".join("---:" if fmt else "---"
                          for _, _, fmt in columns) + "|"
    lines = [header, rule]
    for row in rows:
        cells = []
        for _, key, fmt in columns:
            value = row.get(key)
            if value is None:
                cells.append("—")
            else:
                cells.append(fmt(value) if fmt else str(value))
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def seconds(value):
    return f"{value:.4g}"


def milliseconds(value):
    return f"{value * 1e3:.4g}"


def ratio(value):
    return f"{value:.2f}"


def megabytes(value):
    return f"{value / 1e6:.1f}"


def percent(value):
    return f"{value:.2f}%"


def scientific(value):
    return f"{value:.1e}"


def count(value):
    return f"{value:,}"
