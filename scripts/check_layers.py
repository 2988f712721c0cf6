#!/usr/bin/env python3
"""Holds every #include to the layering that README.md's architecture table
states: a file under a folder of the table may include headers of its own
folder and of the folders named in its "May use" column, and nothing else of
the project (tests and benchmarks may include anything). Qt headers are
allowed only where the column names Qt. Exits 1 and names each offending
line when a file breaks the rule."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent  # --root DIR checks another tree
ROW = re.compile(r"^\|\s*`([^`]+)/`\s*\|\s*([^|]*)\|[^|]*\|\s*([^|]*)\|\s*$")
FOLDER_WORD = re.compile(r"`([a-z][a-z/]*)/`")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def read_table():
    """{folder: (set of folders it may use, Qt allowed)} from the README."""
    rules = {}
    for line in (ROOT / "README.md").read_text().splitlines():
        m = ROW.match(line)
        if not m:
            continue
        folder, uses = m.group(1), m.group(3)
        rules[folder] = ({f.rstrip("/") for f in FOLDER_WORD.findall(uses)}, "Qt" in uses)
    if not rules:
        sys.exit("check_layers: README.md has no architecture table with `folder/` rows")
    return rules


def owner(path, folders):
    """The most specific table folder that holds `path` (relative to ROOT)."""
    best = None
    for folder in folders:
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def main():
    global ROOT
    if len(sys.argv) == 3 and sys.argv[1] == "--root":
        ROOT = pathlib.Path(sys.argv[2]).resolve()
    rules = read_table()
    folders = list(rules)
    problems = []
    for file in sorted(ROOT.glob("src/**/*")) + sorted(ROOT.glob("resources/**/*")):
        if file.suffix not in (".h", ".cpp") or not file.is_file():
            continue
        rel = file.relative_to(ROOT).as_posix()
        mine = owner(rel, folders)
        if mine is None:
            problems.append(f"{rel}: its folder is not in README.md's architecture table")
            continue
        allowed, qt = rules[mine]
        for number, line in enumerate(file.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            kind, header = m.groups()
            if kind == "<":
                if re.match(r"Q[A-Za-z]", header.split("/")[-1]) and not qt:
                    problems.append(f"{rel}:{number}: Qt header <{header}> in a folder without Qt ({mine}/)")
                continue
            if "/" not in header:
                continue  # a header beside the file
            target = owner("src/" + header, folders) or owner(header, folders)
            if target is None:
                continue  # a generated header or one of the build's own
            if target != mine and target not in allowed:
                problems.append(f"{rel}:{number}: includes {header} of {target}/, "
                                f"which {mine}/ may not use (README.md: {', '.join(sorted(allowed)) or 'nothing'})")
    for p in problems:
        print(p)
    if problems:
        print(f"check_layers: {len(problems)} include(s) break the layering", file=sys.stderr)
        return 1
    print(f"check_layers: the includes of {len(folders)} folders follow README.md's table")
    return 0


if __name__ == "__main__":
    sys.exit(main())
