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

Usage: compare_traces.py NICSIM IMAGE [--scenarios a,b] [--seeds 1,2,7,977] [--cpus 1,4]
Exit status 0 when every pair agrees; 1 with the first difference of each pair that does not,
named by scenario, seed, processors and line, both lines shown; 2 when a run could not be made.
"""
import argparse
import json
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


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("nicsim")
    p.add_argument("image")
    p.add_argument("--scenarios", default=None, help="comma-separated; default every embedded one")
    p.add_argument("--seeds", default="1,2,7,977")
    p.add_argument("--cpus", default="1,4")
    a = p.parse_args()
    if a.scenarios:
        scenarios = a.scenarios.split(",")
    else:
        out = subprocess.run([a.nicsim, "scenarios"], capture_output=True, text=True, check=True).stdout
        scenarios = [line.split()[0] for line in out.splitlines() if line.strip()]
    failed = 0
    pairs = 0
    for scenario in scenarios:
        for seed in [int(s) for s in a.seeds.split(",")]:
            for cpus in [int(c) for c in a.cpus.split(",")]:
                pairs += 1
                where = f"{scenario}, seed {seed}, {cpus} processor(s)"
                host, host_status = trace(a.nicsim, scenario, seed, cpus, ["--points", "calls"])
                image, image_status = trace(a.nicsim, scenario, seed, cpus, ["--image", a.image])
                if host_status != 0 or image_status != 0:
                    failed += 1
                    print(f"{where}: violations (host build status {host_status}, image status "
                          f"{image_status}); the first on the image:")
                    for line in image:
                        if line.get("ev") == "violation":
                            print("  " + json.dumps(line))
                            break
                    continue
                for i in range(max(len(host), len(image))):
                    h = comparable(host[i]) if i < len(host) else None
                    m = comparable(image[i]) if i < len(image) else None
                    if h != m:
                        failed += 1
                        print(f"{where}: line {i + 1} differs")
                        print(f"  host build: {json.dumps(h) if h is not None else '(trace ended)'}")
                        print(f"  image:      {json.dumps(m) if m is not None else '(trace ended)'}")
                        break
    print(f"{pairs - failed} of {pairs} scenario, seed and processor pairs give the same trace")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
