#!/usr/bin/env python3
"""Checks the size rules of src/: no file over 400 lines, no function over 60.

A function is a brace block opened at namespace level (or a class body's
member defined inline) whose opening line looks like a definition; its length
counts from the line of its name to its closing brace. Prints every breach
and exits 1 when there is one.

    scripts/check_sizes.py [--max-file=400] [--max-function=60]
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


# Whichever comes first: a raw string, a string, a character literal or a
# comment ("http://" in a string is no comment, a quote in a comment no string).
TOKEN = re.compile(r'R"(\w*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|//[^\n]*|/\*.*?\*/', re.S)


def strip(text):
    """The text with comments, strings and character literals blanked (lines kept)."""
    def blank(m):
        token = m.group(0)
        kept = "\n" * token.count("\n")
        if token.startswith("/"):
            return kept
        return ("''" if token.startswith("'") else '""') + kept
    return TOKEN.sub(blank, text)


def functions(text):
    """(name line, length) of each function body in the stripped text."""
    lines = text.split("\n")
    found = []
    depth = 0
    kinds = []  # per open brace: True for a function body
    start = 0
    for number, line in enumerate(lines, 1):
        for column, char in enumerate(line):
            if char == "{":
                before = " ".join(lines[max(0, number - 4):number - 1]) + " " + line[:column]
                head = before.rstrip()
                is_function = (not any(kinds) and head.endswith(")") or re.search(r"\)\s*(const|override|noexcept|final|\s)*(->\s*[\w:<>&*, ]+)?$", head)) \
                    and not re.search(r"\b(if|for|while|switch|catch)\s*\(.*\)$", head) and not any(kinds) \
                    and not re.search(r"=\s*\[.*\]\s*\(.*\)$", head)
                is_function = bool(is_function) and not re.search(r"\b(namespace|class|struct|enum|union)\b[^;{]*$", head)
                kinds.append(is_function)
                if is_function:
                    start = number
                depth += 1
            elif char == "}" and kinds:
                if kinds.pop():
                    found.append((start, number - start + 1))
                depth -= 1
    return found


def main(argv):
    max_file, max_function = 400, 60
    for arg in argv:
        if arg.startswith("--max-file="):
            max_file = int(arg.split("=", 1)[1])
        elif arg.startswith("--max-function="):
            max_function = int(arg.split("=", 1)[1])
    breaches = []
    for path in sorted((ROOT / "src").rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        rel = path.relative_to(ROOT)
        count = text.count("\n")
        if count > max_file:
            breaches.append("%s: %d lines (at most %d)" % (rel, count, max_file))
        for line, length in functions(strip(text)):
            if length > max_function:
                breaches.append("%s:%d: a function of %d lines (at most %d)" % (rel, line, length, max_function))
    for breach in breaches:
        print(breach)
    print("check_sizes: %d breaches (files at most %d lines, functions at most %d)" % (len(breaches), max_file, max_function))
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
