"""The one writer of Markdown tables and code blocks, for the report, compare, reduce and the
benchmarks."""


def cell(text):
    """text as one table cell: a pipe would end the cell, a line end the row."""
    return (str(text).replace("|", "\\|").replace("\r\n", "<br>")
            .replace("\n", "<br>").replace("\r", "<br>"))


def table(header, rows):
    """A Markdown table: the header row, the rule, one row per list of cells."""
    lines = ["| " + " | ".join(map(cell, header)) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(map(cell, row)) + " |" for row in rows]
    return "\n".join(lines)


def fenced(text):
    """text verbatim in a Markdown code block whose fence no run of backticks in it can close."""
    fence = "`" * max(3, 1 + max_backticks(text))
    return "%s\n%s%s%s\n" % (fence, text, "" if text.endswith("\n") or not text else "\n", fence)


def max_backticks(text):
    longest = run = 0
    for c in text:
        run = run + 1 if c == "`" else 0
        longest = max(longest, run)
    return longest
