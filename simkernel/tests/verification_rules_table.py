#!/usr/bin/env python3
"""Holds docs/verification-rules.md to the code, so the table cannot drift from it.

Checks that every rule the verifier declares (simkernel/include/simkernel/verifier.h) is named in a
row of the table; that every test a row names exists and expects that row's rule (by its constant in
simk::verifier::rules or by its reported name); that every verifier rule has such a test unless its
row says it is exempt; and that the counts at the top of the page are the table's.

Usage: verification_rules_table.py [source root]; exits 1 and says what is wrong.
"""
import pathlib
import re
import sys

STATUSES = {"enforced", "not enforced", "pattern", "does not apply", "exempt"}


def declared_rules(root):
    text = (root / "simkernel/include/simkernel/verifier.h").read_text()
    return dict(re.findall(r'constexpr const char\* (\w+) = "(\w+)"', text))


def test_bodies(root):
    bodies = {}
    files = list((root / "simkernel/tests").glob("*.cpp")) + list((root / "tests").rglob("*.cpp"))
    for path in files:
        text = path.read_text()
        starts = list(re.finditer(r"^TEST(?:_F|_P)?\((\w+),\s*(\w+)\)", text, re.M))
        for i, match in enumerate(starts):
            end = starts[i + 1].start() if i + 1 < len(starts) else len(text)
            bodies[f"{match.group(1)}.{match.group(2)}"] = text[match.end() : end]
    return bodies


def table_rows(page):
    """Rows of every table with the four columns, with the section each public row counts in."""
    rows = []
    section = ""
    for line in page.splitlines():
        if line.startswith("## "):
            section = line[3:]
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else []
        if len(cells) != 4 or cells[0] in ("Rule", "---"):
            continue
        rows.append({"rule": cells[0], "status": cells[1], "by": cells[2], "test": cells[3], "section": section})
    return rows


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2])
    page = (root / "docs/verification-rules.md").read_text()
    rules = declared_rules(root)
    by_name = {name: constant for constant, name in rules.items()}
    bodies = test_bodies(root)
    problems = []

    covered = {}
    for row in table_rows(page):
        where = f"row '{row['rule']}'"
        if row["status"] not in STATUSES:
            problems.append(f"{where}: status '{row['status']}' is none of {sorted(STATUSES)}")
        named_rules = [n for n in re.findall(r"`(\w+)`", row["by"]) if n in by_name]
        tests = re.findall(r"`(\w+\.\w+)`", row["test"])
        for test in tests:
            if test not in bodies:
                problems.append(f"{where}: no test {test}")
                continue
            for name in named_rules:
                constant = by_name[name]
                if not re.search(rf"rules::{constant}\b", bodies[test]) and f'"{name}"' not in bodies[test]:
                    problems.append(f"{where}: {test} does not expect {name}")
        for name in named_rules:
            covered.setdefault(name, set()).update(tests)
            if row["status"] == "exempt":
                covered[name].add("exempt")
        row["proven"] = bool(tests) and row["status"] == "enforced"

    for constant, name in rules.items():
        if name not in covered:
            problems.append(f"verifier rule {name} ({constant}) is in no row of the table")
        elif not covered[name]:
            problems.append(f"verifier rule {name} ({constant}) has no breach test in the table")

    public = [r for r in table_rows(page) if r["section"] != "The simulator's own rules"]
    for row in public:
        row["proven"] = row["status"] == "enforced" and bool(re.findall(r"`(\w+\.\w+)`", row["test"]))
    applicable = sum(r["status"] != "does not apply" for r in public)
    enforced = sum(r["status"] == "enforced" for r in public)
    proven = sum(r["proven"] for r in public)
    stated = re.search(r"Applicable: (\d+) · Enforced: (\d+) · Proven: (\d+)", page)
    if not stated:
        problems.append("the counts line 'Applicable: N · Enforced: N · Proven: N' is missing")
    elif tuple(map(int, stated.groups())) != (applicable, enforced, proven):
        problems.append(
            f"the page states {stated.group(0)}; the table has "
            f"Applicable: {applicable} · Enforced: {enforced} · Proven: {proven}"
        )

    for problem in problems:
        print(problem)
    print(f"{len(public)} public rules: applicable {applicable}, enforced {enforced}, proven {proven}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
