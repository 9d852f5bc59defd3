#!/usr/bin/env python3
"""Puts one-line faults into a copy of the sources, one at a time, and tells which ones the
tests catch.

    scripts/faults.py [--list scripts/faults.tsv] [--only N,M,...] [--jobs 2]

Each line of the list is: path<TAB>exact text<TAB>replacement<TAB>what the fault breaks
(lines starting with # are comments). The text must occur exactly once in the file. The
copy is built once (Debug, no package test, no benchmarks); for each fault the changed file
is rebuilt and CTest runs every test but the package test (the unit tests first), stopping at
the first failure. A fault is caught when the build still works and a test fails, and fails
again when run once more (a failure that does not come back is counted as missed); one that
does not build is counted apart. The working tree is never changed.

scripts/mutants.py drives the same copy with faults it writes itself; the functions below
are shared with it.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd, cwd, log, timeout=None):
    with open(log, "w") as out:
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def read_list(path):
    faults = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) != 4:
                sys.exit(f"{path}:{number}: needs 4 fields separated by tabs, has {len(fields)}")
            faults.append(tuple(fields))
    return faults


def copy_sources(work):
    """Copies what git knows of the working tree (tracked, or untracked and not ignored) to work/tree."""
    tree = os.path.join(work, "tree")
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                           capture_output=True, check=True).stdout.decode().split("\0")
    for name in filter(None, files):
        if os.path.isfile(os.path.join(ROOT, name)):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, name), os.path.join(tree, name))
    return tree


def linux_build(tree, jobs):
    """The copy's Linux build: its folder, how to configure it, and how to build it."""
    build = os.path.join(tree, "build")
    configure = ["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                 "-DPELMOR_PACKAGE_TEST=OFF", "-DPELMOR_BENCHMARKS=OFF", "-DPELMOR_WERROR=OFF"]
    if shutil.which("ld.lld"):  # every fault relinks each test program: lld does it in a fraction
        configure.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld")
    return build, [configure], [["cmake", "--build", build, "--parallel", jobs]]


def test_command(build, jobs, label=None):
    """CTest over every test but the package ones, or only those of one label (an exact match):
    the unit tests first, then, if they pass, the slower rest."""
    command = ["ctest", "--test-dir", build, "-j", jobs, "--stop-on-failure", "--timeout", "180"]
    if label:
        command += ["-L", f"^{label}$"]
    return [command + ["-L", "^unit$"], command + ["-LE", "unit|package"]]


def passes(test, tree, log):
    """Whether every command of `test` passes; the log keeps the output of the last one run."""
    return all(run(command, tree, log) == 0 for command in test)


def prepare(tree, setup, test, log):
    """Configures and builds the unchanged copy and runs its tests; stops the script if any fails."""
    for command in setup:
        if run(command, tree, log) != 0:
            sys.exit(f"the unchanged copy does not build: {log}")
    if not passes(test, tree, log):
        sys.exit(f"the unchanged copy fails its tests: {log}")


def try_fault(tree, build, steps, test, source, changed, log):
    """Writes `changed` over `source` in the copy, rebuilds (`steps`), tests, and puts the file
    back. Returns the verdict (caught, MISSED, UNSTEADY, NO BUILD), the tests that failed and the
    seconds it took."""
    with open(source, encoding="utf-8") as f:
        original = f.read()
    started = time.monotonic()
    with open(source, "w", encoding="utf-8") as f:
        f.write(changed)
    try:
        if any(run(step, tree, log) != 0 for step in steps):
            verdict = "NO BUILD"
        else:
            verdict = "MISSED" if passes(test, tree, log) else "caught"
            # A failure that does not come back is the test's own unsteadiness, not the fault's.
            if verdict == "caught":
                shutil.copy(log, log + ".first")
                rerun = ["ctest", "--test-dir", build, "--rerun-failed", "--timeout", "180"]
                if run(rerun, tree, log + ".again") == 0:
                    verdict = "UNSTEADY"
    finally:
        with open(source, "w", encoding="utf-8") as f:
            f.write(original)
    failed = ""
    if verdict == "caught":
        with open(log + ".first", encoding="utf-8", errors="replace") as f:
            failed = ", ".join(m.group(1) for m in (re.search(r"Test +#\d+: (\S+) .*\*\*\*", l) for l in f) if m)
    return verdict, failed, time.monotonic() - started


def print_share(noun, verdicts, others):
    """The share caught among the faults that build and test steadily or not, then how many
    had each of the other verdicts."""
    counted = [v for v in verdicts if v in ("caught", "MISSED", "UNSTEADY")]
    share = 100.0 * counted.count("caught") / len(counted) if counted else 0.0
    print(f"caught {counted.count('caught')} of {len(counted)} {noun} that build ({share:.0f} %); "
          + ", ".join(f"{verdicts.count(verdict)} {text}" for verdict, text in others))


def clean_up(work, keep):
    if keep:
        print(f"copy and logs kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", default=os.path.join(ROOT, "scripts", "faults.tsv"))
    parser.add_argument("--only", default="", help="comma-separated fault numbers")
    parser.add_argument("--jobs", default="2")
    parser.add_argument("--keep", action="store_true", help="keep the copy and its logs")
    args = parser.parse_args()

    faults = read_list(args.list)
    chosen = {int(n) for n in args.only.split(",") if n}

    work = tempfile.mkdtemp(prefix="pelmor-faults-")
    tree = copy_sources(work)
    build, configure, steps = linux_build(tree, args.jobs)
    log = os.path.join(work, "log")
    print(f"copy in {tree}", flush=True)
    test = test_command(build, args.jobs)
    prepare(tree, configure + steps, test, log)

    results = []
    for number, (path, text, replacement, what) in enumerate(faults, 1):
        if chosen and number not in chosen:
            continue
        source = os.path.join(tree, path)
        with open(source, encoding="utf-8") as f:
            original = f.read()
        count = original.count(text)
        if count != 1:
            results.append((number, "NOT APPLIED", f"text found {count} times", path, what))
            print(f"{number:3} NOT APPLIED ({count} times) {path}: {what}", flush=True)
            continue
        verdict, failed, seconds = try_fault(tree, build, steps, test, source,
                                             original.replace(text, replacement),
                                             os.path.join(work, f"fault{number}.log"))
        results.append((number, verdict, failed, path, what))
        print(f"{number:3} {verdict:8} {seconds:5.0f} s  {path}: {what}  {failed}", flush=True)

    # Back to the unchanged sources, so the copy is left as it was.
    run(steps[0], tree, log)

    print()
    print(f"{'#':>3}  {'result':8}  {'file':32}  fault")
    for number, verdict, failed, path, what in results:
        print(f"{number:3}  {verdict:8}  {path:32}  {what}")
    print()
    print_share("faults", [r[1] for r in results],
                [("UNSTEADY", "failed a test only once (counted as missed)"),
                 ("NO BUILD", "did not build"), ("NOT APPLIED", "not applied")])
    clean_up(work, args.keep)


if __name__ == "__main__":
    main()
