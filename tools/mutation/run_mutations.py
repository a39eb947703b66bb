#!/usr/bin/env python3
"""Measures how many of the faults in faults.py the test suite catches.

Copies the tracked files of a tree to a scratch directory, configures one build there (tests
only, warnings not fatal), then for each fault applies its edit, builds incrementally, runs the
fast tests with a per-test time limit and restores the file. Prints one row per fault and a
final line "N caught, M missed". Faults that do not build or whose anchor is not found exactly
once are reported but not counted.

Run from the repository root: python3 tools/mutation/run_mutations.py
"""

import argparse
import filecmp
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from faults import COMPONENT_DIR, FAULTS  # noqa: E402

# Tests left out of every run: the installed-package test configures and builds a whole
# project of its own, far slower than a fault run can afford, and reads nothing the other
# tests do not.
EXCLUDED_TESTS = r"^consumer\."

CAUGHT, MISSED, NO_BUILD, NO_ANCHOR = "caught", "missed", "did-not-build", "anchor-missing"


def run(command, cwd, timeout=None):
    """Runs `command`, returns (exit code, combined output); a timeout counts as failure.

    The command runs in a process group of its own, so that a timeout also ends what it started
    (ctest's test processes), not only the command itself."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return -1, (output or "") + "\n(timed out)"


def tracked_files(source):
    code, output = run(["git", "ls-files", "-z"], source)
    if code != 0:
        sys.exit(f"{source}: not a git work tree")
    return [name for name in output.split("\0") if name]


def copy_tree(source, destination):
    """Copies the tracked files; in a kept scratch tree, only those whose content differs, and
    removes the files the source no longer tracks (a test file left behind would still be
    globbed into the build).

    A copy gets a new modification time, so the build always sees it as newer than what it
    built from a faulted version of the same file."""
    names = tracked_files(source)
    kept = set(names)
    for directory, _, files in os.walk(destination):
        for file in files:
            path = os.path.join(directory, file)
            if os.path.relpath(path, destination) not in kept:
                os.remove(path)
    for name in names:
        origin = os.path.join(source, name)
        if not os.path.isfile(origin):
            continue  # deleted in the work tree but not yet in the index
        target = os.path.join(destination, name)
        if os.path.isfile(target) and filecmp.cmp(origin, target, shallow=False):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(origin, target)


def configure(tree, build, jobs):
    command = ["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
               # No debug information: faster compiles and links, the same code.
               "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
               "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
               "-DOR_WERROR=OFF", "-DOR_BUILD_BENCHMARKS=OFF", "-DOR_BUILD_FUZZER=OFF",
               "-DOR_BUILD_TESTS=ON",
               # The test programs load the library at run time: a fault in it relinks only
               # the library and the tests of the internals, not every program that uses it.
               "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"]
    code, output = run(command, tree)
    if code != 0:
        sys.exit("configure failed:\n" + output)
    return build_tree(build, jobs)


def build_tree(build, jobs):
    code, _ = run(["cmake", "--build", build, f"-j{jobs}"], build, timeout=1200)
    return code == 0


def failing_tests(output):
    """The names of the tests that did not pass, from ctest's progress lines.

    Read from the progress rather than the summary, so that a run cut short by the time limit
    still names what failed; a test that started and never finished counts as failed."""
    started, passed, failed = [], set(), []
    for line in output.splitlines():
        line = line.strip()
        if line.startswith("Start ") and ": " in line:  # "Start 12: component_tests.Foo.Bar"
            started.append(line.split(": ", 1)[1].split(" ", 1)[0])
        elif " Test " in line and "#" in line and ": " in line:
            # "12/101 Test #12: component_tests.Foo.Bar ......***Failed    0.01 sec"
            name = line.split(": ", 1)[1].split(" ", 1)[0]
            if " Passed " in line:
                passed.add(name)
            else:
                failed.append(name)
    return failed + [name for name in started if name not in passed and name not in failed]


def run_tests(build, jobs, timeout, exclude, stop_on_failure=True):
    """Runs the suite; `timeout` bounds each test and, times four, the whole run (a test with a
    time limit of its own, such as the stress test, would otherwise hang for that long)."""
    command = ["ctest", "--test-dir", build, f"-j{jobs}", "--timeout", str(timeout),
               "-E", exclude] + (["--stop-on-failure"] if stop_on_failure else [])
    code, output = run(command, build, timeout=4 * timeout)
    return code == 0, failing_tests(output), output


def apply_fault(tree, fault):
    """Edits the fault's file; returns its original text, or None when the anchor is not unique."""
    path = os.path.join(tree, COMPONENT_DIR, fault["file"])
    if not os.path.isfile(path):
        return None
    with open(path, encoding="utf-8") as handle:
        original = handle.read()
    if original.count(fault["anchor"]) != 1:
        return None
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(original.replace(fault["anchor"], fault["replacement"], 1))
    return original


def restore(tree, fault, original):
    with open(os.path.join(tree, COMPONENT_DIR, fault["file"]), "w", encoding="utf-8") as handle:
        handle.write(original)


def markdown_table(rows):
    lines = ["| Fault | Concept | File | What it breaks | Result |", "|---|---|---|---|---|"]
    for fault, result, _ in rows:
        lines.append(f"| `{fault['id']}` | {fault['concept']} | {fault['file']} | "
                     f"{fault['description']} | {result} |")
    return "\n".join(lines) + "\n"


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", default=root, help="tree to copy (default: this repository)")
    parser.add_argument("--only", help="comma-separated fault ids to run")
    parser.add_argument("--jobs", type=int, default=2, help="build and test jobs (default 2)")
    parser.add_argument("--timeout", type=int, default=60, help="seconds per test (default 60)")
    parser.add_argument("--markdown", help="also write the table as Markdown to this file")
    parser.add_argument("--scratch", help="scratch directory to use and keep (default: a "
                        "temporary one, removed at the end)")
    parser.add_argument("--catchers", help="run every test for every fault (slower) and write, "
                        "as JSON, the tests that fail for each fault to this file")
    parser.add_argument("--exclude", default=EXCLUDED_TESTS,
                        help=f"ctest -E regex of tests not run (default {EXCLUDED_TESTS!r})")
    args = parser.parse_args()

    faults = FAULTS
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {fault["id"] for fault in FAULTS}
        if unknown:
            sys.exit("unknown fault ids: " + ", ".join(sorted(unknown)))
        faults = [fault for fault in FAULTS if fault["id"] in wanted]

    started = time.monotonic()
    scratch = args.scratch or tempfile.mkdtemp(prefix="or-mutation-")
    tree, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    copy_tree(os.path.abspath(args.source), tree)
    try:
        print(f"scratch {scratch}: configuring and building", flush=True)
        if not configure(tree, build, args.jobs):
            sys.exit("the unchanged tree does not build")
        passed, failed, output = run_tests(build, args.jobs, args.timeout, args.exclude)
        if not passed:
            sys.exit("the unchanged tree fails its tests: " + (", ".join(failed) or output[-2000:]))
        print(f"baseline built and green in {time.monotonic() - started:.0f} s", flush=True)

        rows, catchers = [], {}
        width = max(len(fault["id"]) for fault in faults)
        for fault in faults:
            fault_started = time.monotonic()
            original = apply_fault(tree, fault)
            detail = ""
            if original is None:
                result = NO_ANCHOR
            else:
                try:
                    if not build_tree(build, args.jobs):
                        result = NO_BUILD
                    else:
                        passed, failed, _ = run_tests(build, args.jobs, args.timeout,
                                                      args.exclude, not args.catchers)
                        result = MISSED if passed else CAUGHT
                        catchers[fault["id"]] = failed
                        detail = ", ".join(failed[:2])
                finally:
                    restore(tree, fault, original)
            rows.append((fault, result, detail))
            print(f"{fault['id']:<{width}}  {result:<14} {time.monotonic() - fault_started:5.0f} s"
                  f"  {detail}", flush=True)
    finally:
        if not args.scratch:
            shutil.rmtree(scratch, ignore_errors=True)

    print()
    for fault, result, _ in rows:
        print(f"{fault['id']:<{width}}  {result:<14} {fault['concept']}: {fault['description']}")
    caught = sum(1 for _, result, _ in rows if result == CAUGHT)
    missed = sum(1 for _, result, _ in rows if result == MISSED)
    uncounted = len(rows) - caught - missed
    if uncounted:
        print(f"({uncounted} not counted: did not build or anchor missing)")
    print(f"total {time.monotonic() - started:.0f} s")
    if args.catchers:
        with open(args.catchers, "w", encoding="utf-8") as handle:
            json.dump(catchers, handle, indent=1, sort_keys=True)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as handle:
            handle.write(markdown_table(rows))
    print(f"{caught} caught, {missed} missed")


if __name__ == "__main__":
    main()
