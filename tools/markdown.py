"""The one writer of Markdown tables, for the report, compare and the benchmarks."""


def cell(text):
    """text as one table cell: a pipe would end the cell, a line end the row."""
    return (str(text).replace("|", "\\|").replace("\r\n", "<br>")
            .replace("\n", "<br>").replace("\r", "<br>"))


def table(header, rows):
    """A Markdown table: the header row, the rule, one row per list of cells."""
    lines = ["| " + " | ".join(map(cell, header)) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(map(cell, row)) + " |" for row in rows]
    return "\n".join(lines)
