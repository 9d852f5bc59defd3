#!/usr/bin/env python3
"""The faults scripts/mutants.py writes into a line: code only, never comments or strings, and
never a statement it cannot drop whole."""
import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import mutants  # noqa: E402

CASES = [
    # the code line before, the line, every mutated line expected
    (";", "if (a && f(b)) // x < y", {"if (!(a && f(b))) // x < y", "if (a || f(b)) // x < y"}),
    (";", "ok = n < 10 || m >= 0;", {"ok = n <= 10 || m >= 0;", "ok = n < 11 || m >= 0;", "ok = n < 9 || m >= 0;",
                                     "ok = n < 10 && m >= 0;", "ok = n < 10 || m > 0;", "ok = n < 10 || m >= 1;"}),
    (";", 'log("if (x) a && b", 0x1F, 2.5, 1\'000); /* 3 */', {";"}),
    ("{", "file.close();", {";"}),
    ("x)", "else_branch();", {";"}),
    (",", "helper(a));", set()),
    ("n = a +", "helper(a);", set()),
    (";", "Q_UNUSED(x);", set()),
    ("{", "return true;", {"return false;"}),
    ("{", "fd = open(p, O_WRONLY | O_CREAT | O_EXCL);",
     {"fd = open(p, O_CREAT | O_EXCL);", "fd = open(p, O_WRONLY | O_EXCL);", "fd = open(p, O_WRONLY | O_CREAT);"}),
    ("{", "copy(from, to);", {";", "copy(to, from);"}),
    ("{", "end = std::min(next, written);", set()),
    ("{", "n = std::min<qint64>(a, b) + f(a, b);", {"n = std::min<qint64>(a, b) + f(b, a);"}),
    ("{", "x = std::vector<int>(n, n) << 2;", {"x = std::vector<int>(n, n) << 3;", "x = std::vector<int>(n, n) << 1;"}),
    ("{", "if (a &&", {"if (a ||"}),
]


class Mutations(unittest.TestCase):
    def test_lines(self):
        for previous, line, expected in CASES:
            with self.subTest(line=line):
                code = mutants.masked(line)
                self.assertEqual({m[2] for m in mutants.mutations(line, code, previous)}, expected)


if __name__ == "__main__":
    unittest.main()
