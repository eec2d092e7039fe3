#!/usr/bin/env python3
"""Mutation analysis: how many small faults planted in the code do the unit tests catch?

Each mutant is one operator change on one line of the reader, the player or the encoder (the
writer and the colour reduction): a flipped comparison, an off-by-one constant, a swapped operand, a
flipped logical operator, an arithmetic operator changed, or a dropped statement. For a fixed random sample of them, one at a time, the
script changes the line, rebuilds the tests, runs them and puts the line back. A mutant is caught
when a test fails (or hangs); one that does not compile is stillborn and not counted.

    scripts/mutate.py [--sample 300] [--seed 1] [--build build-mutate] [--only PREFIX...]
                      [--out FILE [--resume]] [--list]

Run it from a checkout with nothing else building in it: it edits the sources in place (and always
restores them). The score is caught / (caught + survived); the survivors are listed, to read. --only
keeps the sample's mutants in the files under those prefixes (the same mutants a whole run would try
there); --out writes one line per mutant (verdict, place, change), so that two runs can be compared
line by line; with --resume, the mutants already in FILE keep their verdicts and the run goes on
from there (an interrupted run loses nothing but the mutant it was on).
"""
import argparse, os, random, re, signal, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = ["src/format", "src/viewer", "tools/komu_write.cpp", "tools/rgb565.cpp"]
# Fastest first: a caught mutant usually fails early.
TESTS = ["format_tests", "viewer_tests", "startup_tests", "hostile_tests", "komu_tool_tests"]
TARGETS = TESTS + ["cinepane", "komu"]
# The test programs that hold a file's code, themselves or in the programs they run (startup runs
# cinepane, komu_tool runs komu; hostile holds the writer): only they can catch its mutants, so
# only they are built and run, with the programs they run.
REACH = {"src/format": TARGETS,
         "src/viewer": ["viewer_tests", "startup_tests", "hostile_tests", "cinepane"],
         "tools": ["komu_tool_tests", "hostile_tests", "komu", "cinepane"]}

FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
ARITH = {"+": "-", "-": "+", "*": "/", "/": "*"}
LOGIC = {"&&": "||", "||": "&&"}


def source_files():
    for entry in SOURCES:
        path = os.path.join(ROOT, entry)
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                if name.endswith(".cpp"):
                    yield os.path.join(entry, name)
        else:
            yield entry


def is_code(line):
    s = line.strip()
    return s and not s.startswith(("//", "#", "*", "/*", "static_assert", "namespace", "}"))


def mutants_of(line, starts_statement):
    """(description, new line) for every mutation of one line of code."""
    code, _, comment = line.partition("//")
    out = []

    def at(match, new, what):
        out.append((what, code[:match.start()] + new + code[match.end():] + (("//" + comment) if comment else "")))

    for m in re.finditer(r"(?<=[\w)\]]) (<=|>=|==|!=|<|>) (?=[\w(-])", code):
        at(m, f" {FLIP[m.group(1)]} ", f"{m.group(1)} -> {FLIP[m.group(1)]}")
    for m in re.finditer(r"(?<=[\w)\]]) ([-+*/]) (?=[\w(])", code):
        at(m, f" {ARITH[m.group(1)]} ", f"{m.group(1)} -> {ARITH[m.group(1)]}")
    for m in re.finditer(r" (&&|\|\|) ", code):
        at(m, f" {LOGIC[m.group(1)]} ", f"{m.group(1)} -> {LOGIC[m.group(1)]}")
    for m in re.finditer(r"(?<![\w.'])(\d+)(?![\w.'])", code):
        at(m, str(int(m.group(1)) + 1), f"{m.group(1)} -> {int(m.group(1)) + 1}")
    for m in re.finditer(r"\b([a-z_][\w.>-]*) (-|<|>|<=|>=) ([a-z_][\w.>-]*)\b", code):
        at(m, f"{m.group(3)} {m.group(2)} {m.group(1)}", f"swap operands of {m.group(2)}")
    stripped = code.strip()
    if starts_statement and stripped.endswith(";") and not re.match(r"(const|constexpr|static|auto|int|uint|bool|size_t|char|return)\b",
                                               stripped):
        out.append(("drop statement", re.sub(r"\S.*", ";", line, count=1)))
    return out


def all_mutants():
    for path in source_files():
        with open(os.path.join(ROOT, path)) as f:
            lines = f.read().split("\n")
        in_block_comment = False
        previous = "{"  # the end of the last line of code: does a statement start here?
        for number, line in enumerate(lines):
            if "/*" in line and "*/" not in line:
                in_block_comment = True
            if in_block_comment:
                in_block_comment = "*/" not in line
                continue
            if is_code(line):
                for what, new in mutants_of(line, previous in ";{}:"):
                    yield path, number, what, new
            code = line.partition("//")[0].strip()
            if code:
                previous = code[-1]


def run(cmd, timeout=None):
    # A test program stops at its first failure: one is enough to catch a mutant.
    env = dict(os.environ, GTEST_FAIL_FAST="1")
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout, env=env).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sample", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build", default="build-mutate")
    parser.add_argument("--only", nargs="*", default=[], help="only mutants in files under these")
    parser.add_argument("--out", help="write each mutant's verdict here")
    parser.add_argument("--resume", action="store_true", help="keep the verdicts already in --out")
    parser.add_argument("--list", action="store_true", help="list the sample, build nothing")
    args = parser.parse_args()
    # Stopped by a signal, it still puts back the line it changed (a background run ignores Ctrl-C).
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.default_int_handler)

    everything = list(all_mutants())
    sample = random.Random(args.seed).sample(everything, min(args.sample, len(everything)))
    sample.sort(key=lambda m: (m[0], m[1]))
    print(f"{len(everything)} mutants in all, {len(sample)} sampled (seed {args.seed})", flush=True)
    if args.only:
        sample = [m for m in sample if m[0].startswith(tuple(args.only))]
        print(f"{len(sample)} of them under {' '.join(args.only)}", flush=True)
    if args.list:
        for path, number, what, _ in sample:
            print(f"{path}:{number + 1}: {what}")
        return 0

    done = {}
    if args.resume and args.out and os.path.exists(args.out):
        with open(args.out) as f:
            for line in f:
                verdict, place, what, new = line.rstrip("\n").split("\t", 3)
                done[(place, what, new)] = verdict
    build = os.path.join(ROOT, args.build)
    # A run stopped in the middle may have left an object built from a mutant; an unchanged
    # source is then older than it, so everything that holds mutated files is rebuilt.
    for path in source_files():
        os.utime(os.path.join(ROOT, path))
    if run(["cmake", "-S", ".", "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DCINEPANE_BENCH=OFF"]) or run(["cmake", "--build", build, "-j2", "--target", *TARGETS]):
        sys.exit("mutate.py: the unmutated tree does not build")
    # A mutant that makes a test program hang is caught; one that only runs slowly on a busy
    # machine must not be, so each program may take five times its unmutated time, and 5 min.
    timeout = {}
    for t in TESTS:
        started = time.monotonic()
        if run([os.path.join(build, t)]):
            sys.exit("mutate.py: the unmutated tree fails its tests")
        timeout[t] = max(300.0, 5 * (time.monotonic() - started))

    caught = survived = stillborn = 0
    survivors = []
    out = open(args.out, "a" if args.resume else "w") if args.out else None
    started = time.monotonic()
    for i, (path, number, what, new) in enumerate(sample, 1):
        verdict = done.get((f"{path}:{number + 1}", what, new.strip()))
        if verdict:
            caught += verdict == "caught"
            survived += verdict == "SURVIVED"
            stillborn += verdict == "stillborn"
            if verdict == "SURVIVED":
                survivors.append(f"{path}:{number + 1}: {what}: {new.strip()}")
            continue
        full = os.path.join(ROOT, path)
        with open(full) as f:
            original = f.read()
        lines = original.split("\n")
        lines[number] = new
        try:
            with open(full, "w") as f:
                f.write("\n".join(lines))
            reach = next(targets for prefix, targets in REACH.items() if path.startswith(prefix))
            if run(["cmake", "--build", build, "-j2", "--target", *reach]):
                stillborn += 1
                verdict = "stillborn"
            else:
                killed = False
                for t in (t for t in TESTS if t in reach):
                    try:
                        killed = run([os.path.join(build, t)], timeout[t]) != 0
                    except subprocess.TimeoutExpired:
                        killed = True
                    if killed:
                        break
                caught += killed
                survived += not killed
                verdict = "caught" if killed else "SURVIVED"
                if not killed:
                    survivors.append(f"{path}:{number + 1}: {what}: {new.strip()}")
        finally:
            with open(full, "w") as f:
                f.write(original)
        print(f"[{i}/{len(sample)}] {verdict:9} {path}:{number + 1}: {what}", flush=True)
        if out:
            print(f"{verdict}\t{path}:{number + 1}\t{what}\t{new.strip()}", file=out, flush=True)
    run(["cmake", "--build", build, "-j2", "--target", *TARGETS])  # back to the unmutated build

    counted = caught + survived
    print(f"\n{caught} caught, {survived} survived, {stillborn} stillborn; "
          f"score {caught}/{counted} = {100.0 * caught / max(counted, 1):.1f} % "
          f"({time.monotonic() - started:.0f} s)")
    for s in survivors:
        print("  survived:", s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
