"""Reading an INF file, for the package's checks and its catalog: one reading of sections and
comments, so that the two never disagree on what the INF says."""

import re


def strip_comment(line):
    """The line without its comment; a ';' inside quotes (an SDDL string) is text."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ';' and not quoted:
            return line[:i]
    return line


def read_inf(path):
    """{lower-case section name: [lines]}, comments and blank lines dropped."""
    with open(path, encoding='utf-8-sig') as inf:
        text = inf.read()
    sections, current = {}, None
    for raw in text.splitlines():
        line = strip_comment(raw).strip()
        if not line:
            continue
        header = re.fullmatch(r'\[([^\]]+)\]', line)
        if header:
            current = sections.setdefault(header.group(1).strip().lower(), [])
        elif current is not None:
            current.append(line)
    return sections
