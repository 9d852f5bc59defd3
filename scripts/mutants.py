#!/usr/bin/env python3
"""Mutation testing of a change: writes faults mechanically into the lines of src/ that the
change added or altered, and tells which ones the tests catch.

    scripts/mutants.py --base COMMIT [--list] [--file PATH ...] [--only N,M] [--limit N]
                       [--sample N [--seed S]] [--jobs 2] [--windows] [--keep]

The change is `git diff COMMIT` (the working tree against COMMIT). On each added line it writes,
one at a time: a condition negated (`if (x)` -> `if (!(x))`), `&&` and `||` swapped, a bound
moved by one (`<` and `<=`, `>` and `>=` swapped, an integer constant plus and minus one), a
call statement dropped, `return true;` and `return false;` swapped, one flag dropped from
`A | B` of ALL_CAPS names, two adjacent plain identifier arguments swapped. Mutants are
numbered in a fixed order (file, line, kind, column); --only picks by those numbers. A whole
change of a round has about a thousand, more than a day's run on two cores: --sample N runs N
of them drawn at random (the same N for the same --seed), and its share estimates the whole.

Each mutant runs as a fault of scripts/faults.py does (a copy of the tree built once, one file
rebuilt, a fault caught when the build works and a test fails and fails again), but CTest runs
only the tests labelled with the room of the file (src/<room>/). A file only the Windows build
compiles (src/*/windows/*, *_win.cpp, *_none.cpp) is tested by the Windows build under Wine
(scripts/windows/build.sh, in the copy); with --windows every mutant is. Survivors listed in
scripts/mutants-equivalent.tsv (file, original line, mutated line, why it cannot change
behaviour; lines compared without their indentation) are shown apart and not counted.
"""
import argparse
import glob
import math
import os
import random
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from faults import (  # noqa: E402
    ROOT, clean_up, copy_sources, linux_build, prepare, print_share, read_list, run,
    test_command, try_fault)

EQUIVALENT = os.path.join(ROOT, "scripts", "mutants-equivalent.tsv")
WINDOWS_ONLY = re.compile(r"^src/[^/]+/windows/|_win\.cpp$|_none\.cpp$")
KEYWORDS = {"return", "delete", "throw", "co_return", "co_await", "case", "goto", "sizeof", "if",
            "while", "for", "switch", "else", "do", "new", "static_assert", "true", "false",
            "nullptr", "this", "const", "auto", "int", "bool", "char", "void", "unsigned"}


def masked(text):
    """The text with comments and the insides of string and character literals blanked (same
    length, newlines kept), so that the patterns below only see code."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            for j in range(i, end):
                if text[j] != "\n":
                    out[j] = " "
            i = end
        elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isdigit()):  # 1'000
            raw = c == '"' and re.search(r"\bu?8?[uUL]?R$", text[max(0, i - 4):i])
            if raw:
                delimiter = text[i + 1:text.find("(", i)]
                end = text.find(")" + delimiter + '"', i) + len(delimiter) + 2
            else:
                end = i + 1
                while end < n and text[end] != c and text[end] != "\n":
                    end += 2 if text[end] == "\\" else 1
                end += 1
            for j in range(i + 1, min(end, n) - 1):
                if text[j] != "\n":
                    out[j] = " "
            i = end
        else:
            i += 1
    return "".join(out)


def closing(code, start):
    """Index of the parenthesis that closes the one at `start`, or -1 within this line."""
    depth = 0
    for i in range(start, len(code)):
        depth += {"(": 1, ")": -1}.get(code[i], 0)
        if depth == 0:
            return i
    return -1


# Calls whose two arguments may change places without changing what they do.
SYMMETRIC = {"min", "max", "qMin", "qMax", "swap", "qSwap", "EqualSid"}


def callee(code, position):
    """The name (without its scope) of the call whose arguments hold `position`."""
    depth = 0
    for i in range(position - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(code[i], 0)
        if depth < 0:
            name = re.search(r"([A-Za-z_]\w*)\s*(?:<[^<>()]*>)?\s*$", code[:i])
            return name.group(1) if name else ""
    return ""


def in_call(code, position):
    """Whether `position` is among the arguments of a call (the innermost open parenthesis
    before it follows a name that is no keyword)."""
    depth = 0
    for i in range(position - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(code[i], 0)
        if depth < 0:
            name = re.search(r"([A-Za-z_]\w*)\s*$", code[:i])
            return bool(name) and name.group(1) not in KEYWORDS
    return False


def mutations(line, code, previous):
    """(kind, column, mutated line) for one source line; `code` is the line masked, `previous`
    the masked code line before it."""
    found = []
    stripped = code.strip()
    if not stripped or stripped.startswith("#"):
        return found
    for m in re.finditer(r"\bif \(", code):
        end = closing(code, m.end() - 1)
        if end > 0:
            found.append(("negate", m.start(),
                          line[:m.end()] + "!(" + line[m.end():end] + ")" + line[end:]))
    for m in re.finditer(r"&&|\|\|", code):
        other = "||" if m.group() == "&&" else "&&"
        found.append(("and-or", m.start(), line[:m.start()] + other + line[m.end():]))
    for m in re.finditer(r"(?<=\s)(<=|>=|<|>)(?=\s)", code):
        other = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}[m.group()]
        found.append(("bound", m.start(), line[:m.start()] + other + line[m.end():]))
    for m in re.finditer(r"(?<![\w.'])\d+(?![\w.'])", code):
        value = int(m.group())
        for moved in (value + 1, value - 1):
            if moved >= 0:
                found.append(("constant", m.start(), line[:m.start()] + str(moved) + line[m.end():]))
    call = re.match(r"\s*([A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*)\(", code)
    if (call and code.rstrip().endswith(");") and closing(code, call.end() - 1) == len(code.rstrip()) - 2
            and call.group(1) not in KEYWORDS and not re.fullmatch(r"[A-Z_][A-Z0-9_]*", call.group(1))
            and (previous.rstrip()[-1:] in (";", "{", "}", ":", ")", "") or previous.rstrip().endswith("else"))):
        # An empty statement rather than nothing, so an `if` without braces keeps its body.
        found.append(("drop-call", call.start(1), line[:call.start(1)] + ";"))
    for m in re.finditer(r"\breturn (true|false);", code):
        other = "false" if m.group(1) == "true" else "true"
        found.append(("return", m.start(), line[:m.start(1)] + other + line[m.end(1):]))
    flag = r"(?:\w+::)*[A-Z][A-Z0-9_]+\b"
    for m in re.finditer(rf"(?<![\w:]){flag}(?:\s*(?<!\|)\|(?!\|)\s*{flag})+", code):
        names = list(re.finditer(flag, m.group()))
        for k, name in enumerate(names):
            # Drop the name with the bar after it (the bar before it, for the last one).
            start = m.start() + (names[k - 1].end() if k == len(names) - 1 else name.start())
            end = m.start() + (name.end() if k == len(names) - 1 else names[k + 1].start())
            found.append(("drop-flag", start, line[:start] + line[end:]))
    for m in re.finditer(r"(?<=[(,])(?=(\s*)([A-Za-z_]\w*)(\s*),(\s*)([A-Za-z_]\w*)\s*[,)])", code):
        first, second = m.group(2), m.group(5)
        if (first != second and not {first, second} & KEYWORDS and in_call(code, m.start())
                and callee(code, m.start()) not in SYMMETRIC):
            found.append(("swap-args", m.start(2),
                          line[:m.start(2)] + second + line[m.end(2):m.start(5)] + first + line[m.end(5):]))
    return found


def changed_lines(base):
    """{path: set of line numbers} added or altered in src/ since `base`."""
    diff = subprocess.run(["git", "diff", "-U0", "--no-color", "--no-ext-diff", base, "--", "src/"],
                          cwd=ROOT, capture_output=True, text=True, check=True).stdout
    lines, path = {}, None
    for text in diff.splitlines():
        if text.startswith("+++ "):
            path = text[6:] if text.startswith("+++ b/") else None
        elif text.startswith("@@") and path:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", text)
            first, count = int(m.group(1)), int(m.group(2) or 1)
            lines.setdefault(path, set()).update(range(first, first + count))
    return {p: n for p, n in lines.items() if re.search(r"\.(cpp|h)$", p)}


def all_mutants(base):
    """Every mutant of the change, in a fixed order: (path, line number, kind, original, mutated)."""
    mutants = []
    for path, numbers in sorted(changed_lines(base).items()):
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            text = f.read()
        lines, codes = text.split("\n"), masked(text).split("\n")
        previous = ""
        for index, code in enumerate(codes):
            if index + 1 in numbers:
                for kind, column, mutated in sorted(mutations(lines[index], code, previous),
                                                    key=lambda m: (KINDS.index(m[0]), m[1])):
                    mutants.append((path, index + 1, kind, lines[index], mutated))
            if code.strip():
                previous = code
    return mutants


KINDS = ["negate", "and-or", "bound", "constant", "drop-call", "return", "drop-flag", "swap-args"]


def room(path):
    """The CTest label of the tests that can see a file: its room, or None (every test)."""
    m = re.match(r"src/(text|store|deck|drill|window)/", path)
    return m.group(1) if m else None


def windows_build(tree, jobs):
    """The copy's Windows build (as scripts/windows/build.sh makes it), or the reason there is none."""
    cache = os.environ.get("PELMOR_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "pelmor")
    if not glob.glob(os.path.join(cache, "qt-*-mingw-*", ".complete")):
        return None, f"Qt for Windows is not built yet (nothing finished in {cache}; scripts/windows/qt.sh builds it)"
    build = os.path.join(tree, "build-windows")
    deploy = os.path.join(build, "Pelmor")
    os.environ.update(PELMOR_WINDOWS_BUILD=build, PELMOR_WINEPREFIX=os.path.join(build, "wineprefix"),
                      PELMOR_DEPLOYED=deploy)
    setup = [["bash", os.path.join(tree, "scripts", "windows", "build.sh")],
             # A mutant may warn; it should still build.
             ["cmake", "-B", build, "-DPELMOR_WERROR=OFF"]]
    # The end-to-end test runs the deployed folder: the rebuilt program goes into it.
    steps = [["cmake", "--build", build, "--parallel", jobs], ["cmake", "--install", build, "--prefix", deploy]]
    return (build, setup, steps), None


def wilson(caught, counted, z=1.96):
    """95 % interval, in percent, of the share a sample of `counted` with `caught` estimates."""
    if not counted:
        return 0.0, 100.0
    p = caught / counted
    centre = (p + z * z / (2 * counted)) / (1 + z * z / counted)
    half = z * math.sqrt(p * (1 - p) / counted + z * z / (4 * counted * counted)) / (1 + z * z / counted)
    return 100 * (centre - half), 100 * (centre + half)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--base", required=True, help="the commit the change is measured from")
    parser.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    parser.add_argument("--file", nargs="+", default=[], help="only mutants in these files or folders")
    parser.add_argument("--only", default="", help="comma-separated mutant numbers")
    parser.add_argument("--limit", type=int, default=0, help="at most this many mutants")
    parser.add_argument("--platform", choices=("linux", "windows"),
                        help="only the mutants of code both builds compile, or of Windows-only code")
    parser.add_argument("--sample", type=int, default=0, help="this many mutants drawn at random")
    parser.add_argument("--seed", default="pelmor", help="what the draw of --sample starts from")
    parser.add_argument("--jobs", default="2")
    parser.add_argument("--windows", action="store_true", help="test every mutant in the Windows build")
    parser.add_argument("--keep", action="store_true", help="keep the copy and its logs")
    args = parser.parse_args()

    chosen = {int(n) for n in args.only.split(",") if n}
    mutants = [(number, *m) for number, m in enumerate(all_mutants(args.base), 1)
               if (not chosen or number in chosen)
               and (not args.file or any(m[0] == f.rstrip("/") or m[0].startswith(f.rstrip("/") + "/")
                                         for f in args.file))
               and (not args.platform or bool(WINDOWS_ONLY.search(m[0])) == (args.platform == "windows"))]
    drawn_from = len(mutants)
    if args.sample and args.sample < len(mutants):
        mutants = sorted(random.Random(args.seed).sample(mutants, args.sample))
    if args.limit:
        mutants = mutants[:args.limit]
    if args.list:
        for number, path, line, kind, original, mutated in mutants:
            print(f"{number:4}  {path}:{line}  {kind}\n      - {original.strip()}\n      + {mutated.strip()}")
        print(f"{len(mutants)} mutants")
        return
    equivalent = {(p, o.strip(), m.strip()): why for p, o, m, why in read_list(EQUIVALENT)}

    work = tempfile.mkdtemp(prefix="pelmor-mutants-")
    tree = copy_sources(work)
    log = os.path.join(work, "log")
    print(f"copy in {tree}; {len(mutants)} mutants", flush=True)
    builds = {}
    on_windows = [m for m in mutants if args.windows or WINDOWS_ONLY.search(m[1])]
    if len(on_windows) < len(mutants):
        builds["linux"] = linux_build(tree, args.jobs)
    if on_windows:
        builds["windows"], why_not = windows_build(tree, args.jobs)
        if why_not:
            print(f"{len(on_windows)} mutants need the Windows build and are not run: {why_not}", flush=True)
    for name, found in builds.items():
        if found:
            build, setup, steps = found
            prepare(tree, setup + steps, test_command(build, args.jobs), log)

    results = []
    for number, path, line, kind, original, mutated in mutants:
        found = builds["windows" if args.windows or WINDOWS_ONLY.search(path) else "linux"]
        if not found:
            verdict, failed, seconds = "NOT RUN", "", 0.0
        else:
            build, setup, steps = found
            source = os.path.join(tree, path)
            with open(source, encoding="utf-8") as f:
                lines = f.read().split("\n")
            lines[line - 1] = mutated
            test = test_command(build, args.jobs, room(path))
            verdict, failed, seconds = try_fault(tree, build, steps, test, source, "\n".join(lines),
                                                 os.path.join(work, f"mutant{number}.log"))
        if verdict == "MISSED" and (path, original.strip(), mutated.strip()) in equivalent:
            verdict = "EQUIVALENT"
        results.append((number, path, line, kind, original, mutated, verdict))
        print(f"{number:4} {verdict:10} {seconds:5.0f} s  {path}:{line} {kind}  {failed}", flush=True)

    for found in builds.values():
        if found:
            run(found[2][0], tree, log)

    def show(title, verdicts):
        rows = [r for r in results if r[6] in verdicts]
        if rows:
            print(f"\n{title}:")
        for number, path, line, kind, original, mutated, verdict in rows:
            reason = f"  ({equivalent[(path, original.strip(), mutated.strip())]})" if verdict == "EQUIVALENT" else ""
            print(f"{number:4}  {path}:{line}  {kind}{reason}\n      - {original.strip()}\n      + {mutated.strip()}")

    show("Survivors", ("MISSED", "UNSTEADY"))
    show("Equivalent (not counted)", ("EQUIVALENT",))
    print()
    print_share("mutants", [r[6] for r in results],
                [("UNSTEADY", "failed a test only once (counted as survivors)"),
                 ("EQUIVALENT", "equivalent (not counted)"), ("NO BUILD", "did not build"),
                 ("NOT RUN", "not run")])
    if len(mutants) < drawn_from:
        counted = [r[6] for r in results if r[6] in ("caught", "MISSED", "UNSTEADY")]
        low, high = wilson(counted.count("caught"), len(counted))
        print(f"a sample of {len(mutants)} of {drawn_from} mutants: the whole change's share lies "
              f"between {low:.0f} % and {high:.0f} % (95 % Wilson interval)")
    clean_up(work, args.keep)


if __name__ == "__main__":
    main()
