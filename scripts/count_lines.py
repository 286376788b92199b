#!/usr/bin/env python3
"""Counts the C++ lines of the tree that are neither blank nor comment, test
code against product code, per top-level folder, and prints the ratio.

Test code: files named *_test.cc or *_testutil*.* and everything under tests/
and fuzz/ (the fuzzers' harnesses).
Product code: every other .cc and .h. bench/ and build folders are left out.

Usage: scripts/count_lines.py [ROOT]
"""
import os
import sys

SKIP_TOP = {"bench", "build", "third_party", "third-party", ".git"}


def code_lines(text):
    """Lines that keep something besides whitespace once comments are gone."""
    count = 0
    in_block = False
    for line in text.splitlines():
        kept = []
        i = 0
        in_string = None
        while i < len(line):
            c = line[i]
            if in_block:
                end = line.find("*/", i)
                if end < 0:
                    i = len(line)
                else:
                    in_block = False
                    i = end + 2
                continue
            if in_string:
                kept.append(c)
                if c == "\\":
                    kept.append(line[i + 1:i + 2])
                    i += 2
                    continue
                if c == in_string:
                    in_string = None
                i += 1
                continue
            if line.startswith("//", i):
                break
            if line.startswith("/*", i):
                in_block = True
                i += 2
                continue
            if c in "\"'":
                # A raw string R"(...)" can hold anything; it rarely spans
                # lines here, so treat it as an ordinary string.
                in_string = c
            kept.append(c)
            i += 1
        if "".join(kept).strip():
            count += 1
    return count


def is_test(rel):
    name = os.path.basename(rel)
    return (rel.startswith(("tests" + os.sep, "fuzz" + os.sep)) or name.endswith("_test.cc")
            or "_testutil" in name)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..")
    root = os.path.abspath(root)
    table = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        if rel_dir == ".":
            dirnames[:] = [d for d in dirnames
                           if d not in SKIP_TOP and not d.startswith("build")]
            top = "."
        else:
            top = rel_dir.split(os.sep)[0]
        for name in filenames:
            if not name.endswith((".cc", ".h")):
                continue
            rel = os.path.normpath(os.path.join(rel_dir, name))
            with open(os.path.join(dirpath, name), encoding="utf-8",
                      errors="replace") as f:
                n = code_lines(f.read())
            row = table.setdefault(top, [0, 0])
            row[1 if is_test(rel) else 0] += n

    def ratio(product, test):
        return f"{test / product:.2f}" if product else "-"

    print(f"{'folder':<12} {'product':>8} {'test':>8} {'ratio':>6}")
    total = [0, 0]
    for top in sorted(table):
        product, test = table[top]
        total[0] += product
        total[1] += test
        print(f"{top:<12} {product:>8} {test:>8} {ratio(product, test):>6}")
    print(f"{'total':<12} {total[0]:>8} {total[1]:>8} {ratio(*total):>6}")


if __name__ == "__main__":
    main()
