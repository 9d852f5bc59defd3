#!/usr/bin/env python3
"""Puts one-line faults into a copy of the sources, one at a time, and tells which ones the
tests catch.

    scripts/faults.py [--list scripts/faults.tsv] [--only N,M,...] [--jobs 2]

Each line of the list is: path<TAB>exact text<TAB>replacement<TAB>what the fault breaks
(lines starting with # are comments). The text must occur exactly once in the file. The
copy is built once (Debug, no package test, no benchmarks); for each fault the changed file
is rebuilt and CTest runs every test but the package test, stopping at the first failure. A
fault is caught when the build still works and a test fails, and fails again when run once
more (a failure that does not come back is counted as missed); one that does not build is
counted apart. The working tree is never changed.
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
    tree = os.path.join(work, "tree")
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                           capture_output=True, check=True).stdout.decode().split("\0")
    for name in filter(None, files):
        if os.path.isfile(os.path.join(ROOT, name)):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, name), os.path.join(tree, name))
    build = os.path.join(tree, "build")
    log = os.path.join(work, "log")
    print(f"copy in {tree}", flush=True)
    configure = ["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                 "-DPELMOR_PACKAGE_TEST=OFF", "-DPELMOR_BENCHMARKS=OFF", "-DPELMOR_WERROR=OFF"]
    test = ["ctest", "--test-dir", build, "-LE", "package", "-j", args.jobs, "--stop-on-failure",
            "--timeout", "180"]
    if run(configure, tree, log) != 0 or run(["cmake", "--build", build], tree, log) != 0:
        sys.exit(f"the unchanged copy does not build: {log}")
    if run(test, tree, log) != 0:
        sys.exit(f"the unchanged copy fails its tests: {log}")

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
        started = time.monotonic()
        with open(source, "w", encoding="utf-8") as f:
            f.write(original.replace(text, replacement))
        fault_log = os.path.join(work, f"fault{number}.log")
        try:
            if run(["cmake", "--build", build], tree, fault_log) != 0:
                verdict = "NO BUILD"
            else:
                verdict = "MISSED" if run(test, tree, fault_log) == 0 else "caught"
                # A failure that does not come back is the test's own unsteadiness, not the fault's.
                if verdict == "caught":
                    shutil.copy(fault_log, fault_log + ".first")
                    rerun = ["ctest", "--test-dir", build, "--rerun-failed", "--timeout", "180"]
                    if run(rerun, tree, fault_log + ".again") == 0:
                        verdict = "UNSTEADY"
        finally:
            with open(source, "w", encoding="utf-8") as f:
                f.write(original)
        seconds = time.monotonic() - started
        failed = ""
        if verdict == "caught":
            with open(fault_log + ".first", encoding="utf-8", errors="replace") as f:
                failed = ", ".join(m.group(1) for m in (re.search(r"Test +#\d+: (\S+) .*\*\*\*", l) for l in f) if m)
        results.append((number, verdict, failed, path, what))
        print(f"{number:3} {verdict:8} {seconds:5.0f} s  {path}: {what}  {failed}", flush=True)

    # Back to the unchanged sources, so the copy is left as it was.
    run(["cmake", "--build", build], tree, log)

    applied = [r for r in results if r[1] in ("caught", "MISSED", "UNSTEADY")]
    caught = [r for r in applied if r[1] == "caught"]
    print()
    print(f"{'#':>3}  {'result':8}  {'file':32}  fault")
    for number, verdict, failed, path, what in results:
        print(f"{number:3}  {verdict:8}  {path:32}  {what}")
    print()
    share = 100.0 * len(caught) / len(applied) if applied else 0.0
    print(f"caught {len(caught)} of {len(applied)} faults that build ({share:.0f} %); "
          f"{sum(r[1] == 'UNSTEADY' for r in results)} failed a test only once (counted as missed), "
          f"{sum(r[1] == 'NO BUILD' for r in results)} did not build, "
          f"{sum(r[1] == 'NOT APPLIED' for r in results)} not applied")
    if args.keep:
        print(f"copy and logs kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
