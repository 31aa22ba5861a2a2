#!/usr/bin/env python3
"""Runs scenarios twice, on the driver built into nicsim and on a driver image built for Windows
(--image), and holds the two traces to each other line by line. The host build runs with
`--points calls`: the world then interleaves and checks only where the driver calls it, which is
all an image lets it see, so the same seed makes the same interleaving.

What may differ, and nothing else:
  - the `run` record's `command`, `image` and `points` (how the run was asked for);
  - the `summary` record's `checks`: the image does inline what the host build asks the world to
    do (interlocked operations, small copies, the DDK's spin-lock and buffer macros), so the world
    makes fewer checks on it;
  - lines that name addresses in code or memory (a violation's detail): a clean run has none,
    and any violation fails the comparison anyway.

With --reference OTHER_NICSIM (another build of the world: the 64-bit one when NICSIM is the
32-bit one), each run of the built-in driver is also made on OTHER_NICSIM and the two traces must
be equal but for the `run` record's `command`: the same driver and world sources built for
another machine must act the same, checks and all. A size only the machine decides has no place
in a trace; one the wire or the USB capture shows (a transfer's length) is the same on both.

Usage: compare_traces.py NICSIM IMAGE [--reference OTHER_NICSIM] [--scenarios a,b]
                         [--seeds 1,2,7,977] [--cpus 1,4] [--jobs N]
The pairs run N at a time (default: the processors this process may use); what each finds is
printed in the order of the pairs.
Exit status 0 when every pair agrees; 1 with the first difference of each pair that does not,
named by scenario, seed, processors and line, both lines shown; 2 when a run could not be made.
"""
import argparse
import concurrent.futures
import io
import json
import os
import subprocess
import sys
import tempfile


def trace(nicsim, scenario, seed, cpus, extra):
    with tempfile.NamedTemporaryFile(suffix=".jsonl") as f:
        cmd = [nicsim, "run", scenario, "--seed", str(seed), "--cpus", str(cpus), "--quiet",
               "--trace", f.name] + extra
        r = subprocess.run(cmd, capture_output=True, text=True)
        if r.returncode not in (0, 1):
            print(f"cannot run {' '.join(cmd)}: status {r.returncode}\n{r.stderr}", file=sys.stderr)
            sys.exit(2)
        return [json.loads(line) for line in open(f.name)], r.returncode


def comparable(line):
    line = dict(line)
    if line.get("ev") == "run":
        line.pop("command", None)
        line.pop("image", None)
        line.pop("points", None)
    if line.get("ev") == "summary":
        line.pop("checks", None)
    return line


def same_run(line):
    line = dict(line)
    if line.get("ev") == "run":
        line.pop("command", None)
    return line


def first_difference(where, names, a, b, normal, out):
    """Prints the first line where traces a and b differ (after `normal`); True when they do."""
    width = max(len(n) for n in names) + 1
    for i in range(max(len(a), len(b))):
        x = normal(a[i]) if i < len(a) else None
        y = normal(b[i]) if i < len(b) else None
        if x != y:
            print(f"{where}: line {i + 1} differs", file=out)
            for name, line in zip(names, (x, y)):
                print(f"  {name + ':':<{width}} {json.dumps(line) if line is not None else '(trace ended)'}",
                      file=out)
            return True
    return False


def compare_pair(a, scenario, seed, cpus, out):
    """Runs one scenario, seed and processor count on the built-in driver, the image and the
    reference, and writes the first difference of each comparison to `out`: (failed, reference
    failed)."""
    where = f"{scenario}, seed {seed}, {cpus} processor(s)"
    host, host_status = trace(a.nicsim, scenario, seed, cpus, ["--points", "calls"])
    reference_failed = False
    if a.reference:
        other, _ = trace(a.reference, scenario, seed, cpus, ["--points", "calls"])
        reference_failed = first_difference(f"{where}, built-in driver", (a.nicsim, a.reference),
                                            host, other, same_run, out)
    image, image_status = trace(a.nicsim, scenario, seed, cpus, ["--image", a.image])
    if host_status != 0 or image_status != 0:
        which = "image" if image_status != 0 else "host build"
        print(f"{where}: violations (host build status {host_status}, image status "
              f"{image_status}); the first on the {which}:", file=out)
        for line in image if image_status != 0 else host:
            if line.get("ev") == "violation":
                print("  " + json.dumps(line), file=out)
                break
        return True, reference_failed
    return first_difference(where, ("host build", "image"), host, image, comparable, out), reference_failed


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("nicsim")
    p.add_argument("image")
    p.add_argument("--scenarios", default=None, help="comma-separated; default every embedded one")
    p.add_argument("--seeds", default="1,2,7,977")
    p.add_argument("--cpus", default="1,4")
    p.add_argument("--reference", metavar="OTHER_NICSIM",
                   help="another build of nicsim whose built-in driver must give the same traces")
    p.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)),
                   help="pairs run at once (default: the processors this process may use)")
    a = p.parse_args()
    if a.scenarios:
        scenarios = a.scenarios.split(",")
    else:
        out = subprocess.run([a.nicsim, "scenarios"], capture_output=True, text=True, check=True).stdout
        scenarios = [line.split()[0] for line in out.splitlines() if line.strip()]
    runs = [(scenario, int(seed), int(cpus)) for scenario in scenarios
            for seed in a.seeds.split(",") for cpus in a.cpus.split(",")]

    def compare(run):
        """The pair's findings as text, whether it failed, and whether the reference did."""
        scenario, seed, cpus = run
        out = io.StringIO()
        failed, reference_failed = compare_pair(a, scenario, seed, cpus, out)
        return out.getvalue(), failed, reference_failed

    failed = 0
    reference_failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=a.jobs) as pool:
        for text, pair_failed, pair_reference_failed in pool.map(compare, runs):
            sys.stdout.write(text)
            failed += pair_failed
            reference_failed += pair_reference_failed
    pairs = references = len(runs)
    print(f"{pairs - failed} of {pairs} scenario, seed and processor pairs give the same trace")
    if a.reference:
        print(f"{references - reference_failed} of {references} runs of the built-in driver give "
              f"the same trace in {a.reference}")
    return 1 if failed or reference_failed else 0


if __name__ == "__main__":
    sys.exit(main())
