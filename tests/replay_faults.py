#!/usr/bin/env python3
"""Replays the deliberate faults of tests/faults.txt and records which tests catch each.

Run on demand (not by CI); it takes a few minutes per fault on a 2-core machine:
    python3 tests/replay_faults.py [--work DIR] [--only F01,F02] [--report FILE]

It copies the tracked files of this repository into a scratch folder, builds and runs the whole
suite there once (every test must pass), then for each fault: changes the one place, builds, runs the
suite, records the failing tests (or that the fault does not compile), and puts the place back.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read_faults(path):
    faults, current = [], None
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith("## "):
            ident, _, what = line[3:].partition(" ")
            current = {"id": ident, "what": what}
            faults.append(current)
        elif current is not None and re.match(r"^(file|find|replace): ", line):
            key, _, value = line.partition(": ")
            current[key] = value.replace("\\n", "\n") if key != "file" else value
    for fault in faults:
        missing = [k for k in ("file", "find", "replace") if k not in fault]
        if missing:
            sys.exit(f"{fault['id']}: missing {', '.join(missing)}")
    return faults


def run(command, cwd, log):
    with open(log, "w") as out:
        return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def failing_tests(log):
    text = open(log, encoding="utf-8", errors="replace").read()
    block = text.split("The following tests FAILED:", 1)
    if len(block) < 2:
        return []
    return re.findall(r"^\s*\d+ - (\S+)", block[1], re.MULTILINE)


def run_suite(source, log):
    """Runs the whole suite; the tests that fail, run once more, fail again. A test that passes on its
    second run failed for another reason than the change (under load Wine now and then keeps a
    finished test process alive past its timeout)."""
    run(["ctest", "--preset", "mingw"], source, log)
    first = failing_tests(log)
    if not first:
        return []
    again = log + ".again"
    run(["ctest", "--preset", "mingw", "--rerun-failed"], source, again)
    second = set(failing_tests(again))
    return [name for name in first if name in second]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", default="/tmp/qar-faults")
    parser.add_argument("--only", default="")
    parser.add_argument("--report", default="")
    args = parser.parse_args()

    faults = read_faults(os.path.join(ROOT, "tests", "faults.txt"))
    if args.only:
        wanted = set(args.only.split(","))
        faults = [f for f in faults if f["id"] in wanted]

    source = os.path.join(args.work, "src")
    os.makedirs(source, exist_ok=True)
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True).stdout
    for name in filter(None, files.decode("utf-8").split("\0")):
        target = os.path.join(source, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), target)

    logs = os.path.join(args.work, "logs")
    os.makedirs(logs, exist_ok=True)
    if run(["make", "build"], source, os.path.join(logs, "build.log")) != 0:
        sys.exit("the unchanged tree does not build: see " + os.path.join(logs, "build.log"))
    baseline = run_suite(source, os.path.join(logs, "baseline.log"))
    if baseline:
        sys.exit("the unchanged tree fails " + ", ".join(baseline))

    rows = []
    for fault in faults:
        path = os.path.join(source, fault["file"])
        original = open(path, encoding="utf-8").read()
        if original.count(fault["find"]) != 1:
            rows.append((fault, "the text to change is not found exactly once"))
            continue
        try:
            open(path, "w", encoding="utf-8").write(original.replace(fault["find"], fault["replace"]))
            log = os.path.join(logs, fault["id"] + ".log")
            if run(["cmake", "--build", "--preset", "mingw"], source, log) != 0:
                rows.append((fault, "does not compile"))
                continue
            caught = run_suite(source, log)
            rows.append((fault, ", ".join(caught) if caught else "NOT CAUGHT"))
        finally:
            open(path, "w", encoding="utf-8").write(original)
        print(f"{fault['id']}: {rows[-1][1]}", flush=True)

    # Rebuild the unchanged tree so the scratch folder is left as found.
    run(["cmake", "--build", "--preset", "mingw"], source, os.path.join(logs, "restore.log"))
    report = ["| fault | what | caught by |", "| --- | --- | --- |"]
    report += [f"| {f['id']} | {f['what']} | {caught} |" for f, caught in rows]
    text = "\n".join(report) + "\n"
    print(text)
    if args.report:
        open(args.report, "w", encoding="utf-8").write(text)
    applied = [caught for _, caught in rows if caught not in ("does not compile",) and not caught.startswith("the text")]
    missed = applied.count("NOT CAUGHT")
    print(f"{len(applied) - missed} of {len(applied)} applied faults caught ({len(rows) - len(applied)} not applied)")


if __name__ == "__main__":
    main()
