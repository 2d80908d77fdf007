#!/usr/bin/env python3
"""Checks that the tests catch real faults: puts each fault listed in tests/mutants.txt into a
copy of the project, one at a time, rebuilds it and runs every test.

usage: tests/mutants.py [NAME...] [--list FILE] [--qt 5|6]

A line of the list is one fault, as a JSON array: its name, then pairs of a short text of the
product's code and what the fault puts in its place. Each text is looked up among the product's
own sources (app/, cli/, hex/, setup/, filesystem/, whatever file it is in) and must stand there
exactly once, so that code moved to another file is still found. Lines starting with # and empty
lines are comments.

  ["reader-checksum-ignored", "checksum != expected", "false"]

A fault is "killed" when the build works and a test fails or runs over 60 s, and "SURVIVED"
when every test still passes: a fault the tests let through. One whose text is not found, or is
found more than once, is "gone", and one that does not build is "invalid"; neither counts. The
copy and its build are made afresh under $XDG_CACHE_HOME/tarvik-mutants (default ~/.cache), so
the project's own tree and builds are never touched. The last line is
"score K/N killed (G gone, I invalid)"; the exit status is 0 when every fault was killed.
Needs CMake, Qt and a compiler as ./build.sh test does; Ninja where it is installed.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

PRODUCT = ("app", "cli", "hex", "setup", "filesystem")


def run(command, cwd, timeout, env=None):
    try:
        return subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return 124


def read_list(path):
    faults = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            if line.strip() and not line.lstrip().startswith("#"):
                fault = json.loads(line)
                if len(fault) < 3 or len(fault) % 2 == 0:
                    sys.exit(f"{path}:{number}: expected a name and pairs of texts")
                faults.append(fault)
    return faults


def sources(tree):
    found = {}
    for folder in PRODUCT:
        for base, _, names in os.walk(os.path.join(tree, folder)):
            for name in names:
                if name.endswith((".cpp", ".h", ".ui")):
                    path = os.path.join(base, name)
                    with open(path, encoding="utf-8") as file:
                        found[path] = file.read()
    return found


def apply(fault, texts):
    """The changed files' new texts, or None where a text is not found exactly once."""
    changed = {}
    for anchor, replacement in zip(fault[1::2], fault[2::2]):
        current = {path: changed.get(path, text) for path, text in texts.items()}
        places = [path for path, text in current.items() if anchor in text]
        if len(places) != 1 or current[places[0]].count(anchor) != 1:
            return None
        changed[places[0]] = current[places[0]].replace(anchor, replacement)
    return changed


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="only these faults")
    parser.add_argument("--list", default=os.path.join(here, "tests", "mutants.txt"))
    parser.add_argument("--qt", default=os.environ.get("TARVIK_QT", "5"))
    args = parser.parse_args()
    faults = [f for f in read_list(args.list) if not args.names or f[0] in args.names]

    cache = os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")),
                         "tarvik-mutants")
    tree, build = os.path.join(cache, "tree"), os.path.join(cache, "build")
    # Afresh each time: a copy keeps the sources' times, so an older build could look current.
    shutil.rmtree(cache, ignore_errors=True)
    ignore = shutil.ignore_patterns(".git", "build*")
    shutil.copytree(here, tree, ignore=ignore)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    if run(["cmake", "-S", tree, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
            f"-DTARVIK_QT_MAJOR={args.qt}"], tree, 600) \
            or run(["cmake", "--build", build, "--parallel"], tree, 1800):
        print("the unchanged project does not build")
        return 2
    test = ["ctest", "--timeout", "60", "--stop-on-failure"]
    if run(test, build, 1800, env):
        print("the unchanged project fails its tests")
        return 2

    texts = sources(tree)
    killed = survived = gone = invalid = 0
    for fault in faults:
        start = time.monotonic()
        changed = apply(fault, texts)
        if changed is None:
            verdict = "gone"
            gone += 1
        else:
            for path, text in changed.items():
                with open(path, "w", encoding="utf-8") as file:
                    file.write(text)
            if run(["cmake", "--build", build, "--parallel"], tree, 1800):
                verdict = "invalid"
                invalid += 1
            elif run(test, build, 1800, env):
                verdict = "killed"
                killed += 1
            else:
                verdict = "SURVIVED"
                survived += 1
            for path in changed:
                with open(path, "w", encoding="utf-8") as file:
                    file.write(texts[path])
        print(f"{verdict:8} {fault[0]} ({time.monotonic() - start:.0f} s)", flush=True)
    print(f"score {killed}/{killed + survived} killed ({gone} gone, {invalid} invalid)")
    return 0 if survived == gone == invalid == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
