#!/usr/bin/env python3
"""Mutation check: plants one-token faults in src/, one at a time, rebuilds the
default preset incrementally and runs the default suite; a fault the suite does
not catch is a survivor. Run by hand, not in CI (it takes hours on 2 cores).

    tools/mutate.py [--sample N] [--seed S] [--jobs J] [--work DIR] [--list]

The faults: a comparison flipped (< <= > >= == !=), + and - swapped, && and ||
swapped, a unary ! dropped, an integer constant moved by one (0 <-> 1). Only
code is mutated: comments, string literals, preprocessor lines and
static_asserts are left alone.

Everything happens in a scratch copy of the tracked files (DIR, default
build/mutation/tree), never in the work tree. Results go to DIR/results.jsonl,
one line per mutant, so a run that was stopped resumes where it stopped (same
seed and sample). A mutant that does not compile is discarded; one whose
compiled objects are the same as the unmutated build's (debug information
aside) is reported as equivalent by construction (for source files only: a
header's mutant can change what the tests compile against). The score counts the others:
killed / (killed + survived). Each mutant's build rebuilds only the unit-test
programs (which link zentrel_core_testing); libZentrel.so is left as built from
the unmutated sources.
"""
import argparse
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

OPERATORS = [
    (" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > "),
    (" == ", " != "), (" != ", " == "), (" + ", " - "), (" - ", " + "),
    (" && ", " || "), (" || ", " && "),
]
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uU]?[lL]{0,2}[uU]?)(?![\w.])")
NOT = re.compile(r"(?<=[\s(])!(?=[\w(*])")


def masked(line):
    """The line with string and character literals and any // comment blanked."""
    out = []
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


def candidates(path):
    """(line number, column, old token, new token) for every fault in a file."""
    found = []
    in_block = False
    with open(os.path.join(ROOT, path)) as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_block:
            if "*/" in stripped:
                in_block = False
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if stripped.startswith("#") or stripped.startswith("//") or "static_assert" in line:
            continue
        code = masked(line)
        for old, new in OPERATORS:
            start = 0
            while (at := code.find(old, start)) >= 0:
                found.append((number, at, old, new))
                start = at + 1
        for m in NOT.finditer(code):
            found.append((number, m.start(), "!", ""))
        for m in NUMBER.finditer(code):
            text, suffix = m.group(1), m.group(2)
            value = int(text, 16) if text[:2] in ("0x", "0X") else int(text)
            if text.startswith("0") and len(text) > 1 and text[:2] not in ("0x", "0X"):
                continue  # octal: not used here
            moved = 1 if value == 0 else value - 1 if value == 1 else value + 1
            new = (hex(moved).upper().replace("0X", "0x") if text[:2] in ("0x", "0X") else str(moved)) + suffix
            found.append((number, m.start(), m.group(0), new))
    return found


def mutant_id(path, number, column, old, new):
    return f"{path}:{number}:{column}:{old.strip() or old}->{new.strip() or '(none)'}"


def run(cmd, cwd, timeout, log):
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return 124


def object_digest(build):
    """A digest of the testing runtime's objects without their debug information."""
    digest = hashlib.sha256()
    objects = os.path.join(build, "src", "CMakeFiles", "zentrel_testing_objects.dir")
    for folder, _, files in sorted(os.walk(objects)):
        for name in sorted(files):
            if not name.endswith(".o"):
                continue
            path = os.path.join(folder, name)
            stripped = os.path.join(build, "mutation-stripped.o")
            subprocess.run(["objcopy", "--strip-debug", path, stripped], check=True)
            with open(stripped, "rb") as f:
                digest.update(name.encode() + f.read())
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sample", type=int, default=150, help="mutants to try (default 150)")
    parser.add_argument("--seed", type=int, default=16, help="seed of the sample (default 16)")
    parser.add_argument("--jobs", type=int, default=2, help="build and test jobs (default 2)")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutation"), help="scratch folder")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    args = parser.parse_args()

    files = subprocess.run(["git", "ls-files", "src"], cwd=ROOT, stdout=subprocess.PIPE, text=True,
                           check=True).stdout.split()
    sources = [f for f in files if f.endswith((".cpp", ".h"))]
    every = [(path, *c) for path in sources for c in candidates(path)]
    random.Random(args.seed).shuffle(every)
    sample = every[: args.sample]
    if args.list:
        for m in sample:
            print(mutant_id(*m))
        print(f"{len(sample)} of {len(every)} candidates", file=sys.stderr)
        return 0

    tree = os.path.join(args.work, "tree")
    build = os.path.join(tree, "build", "default")
    results_path = os.path.join(args.work, "results.jsonl")
    log = os.path.join(args.work, "mutate.log")
    os.makedirs(args.work, exist_ok=True)
    done = {}
    if os.path.exists(results_path):
        with open(results_path) as f:
            for line in f:
                entry = json.loads(line)
                done[entry["id"]] = entry

    # The scratch copy: the tracked files as they are in the work tree now.
    tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, stdout=subprocess.PIPE, text=True,
                             check=True).stdout.split("\n")
    for path in filter(None, tracked):
        source, target = os.path.join(ROOT, path), os.path.join(tree, path)
        if not os.path.exists(target) or open(source, "rb").read() != open(target, "rb").read():
            # A fresh time stamp, so that whatever was built from an older
            # content (a mutant of a stopped run) is built again.
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(source, target)
            shutil.copymode(source, target)

    test_targets = None
    # The archive may hold a mutant's code if a run was stopped: link it anew.
    archive = os.path.join(build, "src", "libzentrel_core_testing.a")
    if os.path.exists(archive):
        os.remove(archive)
    if run(["cmake", "--preset", "default"], tree, 600, log) != 0:
        sys.exit(f"configure failed; see {log}")

    def build_tests():
        return run(["cmake", "--build", build, "-j", str(args.jobs), "--target", *test_targets], tree, 1800, log)

    listing = subprocess.run(["ctest", "--test-dir", build, "-N", "--show-only=json-v1"], stdout=subprocess.PIPE,
                             text=True).stdout
    # The unit-test programs are named as their tests.
    test_targets = sorted(t["name"] for t in json.loads(listing)["tests"] if t["name"].endswith("_tests"))
    whole = run(["cmake", "--build", build, "-j", str(args.jobs)], tree, 3600, log)
    if whole != 0 or run(["ctest", "--test-dir", build, "-j", str(args.jobs)], tree, 1800, log) != 0:
        sys.exit(f"the unmutated tree does not build or pass; see {log}")
    baseline = object_digest(build)

    counts = {"killed": 0, "survived": 0, "equivalent": 0, "uncompilable": 0}
    for entry in done.values():
        counts[entry["result"]] += 1
    for index, (path, number, column, old, new) in enumerate(sample, 1):
        ident = mutant_id(path, number, column, old, new)
        if ident in done:
            continue
        target = os.path.join(tree, path)
        original = open(target).read()
        original_stat = os.stat(target)
        lines = original.split("\n")
        line = lines[number - 1]
        lines[number - 1] = line[:column] + new + line[column + len(old):]
        started = time.time()
        # A source file's own object is put back with the source, so the next
        # build compiles only the next mutant (the archive is linked anew from
        # the objects then). A header touches too many objects for that: the
        # next build recompiles them.
        obj = os.path.join(build, "src", "CMakeFiles", "zentrel_testing_objects.dir", path[len("src/"):] + ".o")
        saved = os.path.join(args.work, "pristine.o")
        keep_object = path.endswith(".cpp") and os.path.exists(obj)
        if keep_object:
            shutil.copy2(obj, saved)
        with open(target, "w") as f:
            f.write("\n".join(lines))
        try:
            if build_tests() != 0:
                result = "uncompilable"
            elif path.endswith(".cpp") and object_digest(build) == baseline:
                # Only a source file's mutant leaves the tests' own objects as
                # they were; a header's constants reach the tests directly.
                result = "equivalent"
            else:
                status = run(["ctest", "--test-dir", build, "-j", str(args.jobs), "--stop-on-failure",
                              "--timeout", "300"], tree, 1800, log)
                result = "survived" if status == 0 else "killed"
        finally:
            with open(target, "w") as f:
                f.write(original)
            if keep_object:
                os.utime(target, ns=(original_stat.st_atime_ns, original_stat.st_mtime_ns))
                shutil.copy2(saved, obj)
        entry = {"id": ident, "result": result, "line": line.strip(), "seconds": round(time.time() - started)}
        with open(results_path, "a") as f:
            f.write(json.dumps(entry) + "\n")
        done[ident] = entry
        counts[result] += 1
        print(f"[{index}/{len(sample)}] {result:12} {ident}   {line.strip()}", flush=True)

    os.remove(archive)  # leave the scratch build unmutated
    build_tests()
    judged = counts["killed"] + counts["survived"]
    print(f"\nkilled {counts['killed']}, survived {counts['survived']}, equivalent by construction "
          f"{counts['equivalent']}, not compiled {counts['uncompilable']}")
    if judged:
        print(f"score: {100 * counts['killed'] / judged:.1f}% of {judged} compiled mutants that change the code")
    for entry in done.values():
        if entry["result"] == "survived":
            print(f"survivor: {entry['id']}   {entry['line']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
