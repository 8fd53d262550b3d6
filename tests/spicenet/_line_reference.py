"""The runtime's own notion of relevant lines, for the line-reading tests."""

import re


def reference_lines(content):
    """The runtime's own notion of lines and white space."""
    statements = []
    for line in (line.strip() for line in content.splitlines()):
        if statements and line.startswith("+"):
            statements[-1] += " " + line[1:].strip()
        else:
            statements.append(line)
    return [s for s in (re.sub(r"\s+", " ", s).strip() for s in statements) if s]
