#!/usr/bin/env python3
"""Counts what the driver and the emulated world cost, in numbers a busy machine cannot blur.

  instructions  instructions per frame (callgrind), send and receive at 64 and 1514 bytes, split
                into the driver, the copies and the emulated world, beside a memcpy of the same
                bytes; and instructions per virtual second of the default story and of an idle
                adapter left alone for a day
  memory        peak resident memory of `nicsim run` with 10^4 and with 10^6 frames between two
                adapters (half each way), and with a backlog: 10^6 and 4x10^6 frames offered
                10 us apart, faster than the bus carries them
  cpu           CPU seconds of `nicsim run` with two adapters exchanging 10^4 frames each way,
                and virtual seconds per CPU second of the default story and the idle day, run
                in one process by bench/nicsim_bench
  scale         CPU seconds of runs with 2 to 64 adapters in pairs, 1000 frames each: the cost
                per adapter should not grow with their number
  process       CPU time of `nicsim --version` and of `nicsim run default --quiet` as whole
                processes (start-up, libraries and exit included), the median and the best of
                30 runs each, and the default story's virtual seconds per CPU second; beside
                them `true`, the cost of starting any program on this machine

With no section named, all run. Instruction counts are the same from run to run on one
build; CPU times are the best of several runs. Needs valgrind for `instructions`.
"""

import argparse
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Where an instruction is counted: the copies are the block moves and fills of frame and request
# bytes (whoever calls them); the driver is every function compiled from driver/; the emulated
# world is everything else (host/, the bench rig, the C and C++ libraries).
COPY_FUNCTION = re.compile(r"(^|[^A-Za-z])(__)?(mem(cpy|move|set)\w*|NdisMoveMemory|NdisZeroMemory)\b")
ANNOTATE_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*?):(.*?)(?:\s+\[(.*)\])?$")

FRAMES = 2000
SECTIONS = ("instructions", "memory", "cpu", "scale", "process")
PROCESS_RUNS = 30


def idle_day():
    return {
        "name": "idle-day",
        "duration_s": 86400,
        "adapters": [{"name": "A", "phys": [{"address": 0, "id": "0x225410", "link": "eth0"}]}],
        "links": [{"name": "eth0", "medium": "ethernet", "up": True}],
        "events": [{"at": 0, "do": "initialize", "adapter": "A"}],
    }


def exchange(frames_each_way):
    """Two adapters on one cable, each sending `frames_each_way` 1514-byte frames to the other
    from the fifth second on, a frame a millisecond; the run ends 20 s after the last frame."""
    burst_s = frames_each_way * 0.001
    return {
        "name": f"exchange-{frames_each_way}",
        "duration_s": 5 + burst_s + 20,
        "adapters": [
            {"name": "A", "eeprom": "02:00:00:00:00:0a", "phys": [{"address": 0, "id": "0x225410"}]},
            {"name": "B", "eeprom": "02:00:00:00:00:0b", "phys": [{"address": 0, "id": "0x406210"}]},
        ],
        "links": [{"name": "cable", "medium": "ethernet", "up": True, "between": ["A:0", "B:0"]}],
        "events": [
            {"at": 0, "do": "initialize", "adapter": "A"},
            {"at": 0, "do": "initialize", "adapter": "B"},
            {"at": 5, "do": "traffic", "adapter": "A", "frames": frames_each_way, "size": 1514,
             "interval": 0.001},
            {"at": 5, "do": "traffic", "adapter": "B", "frames": frames_each_way, "size": 1514,
             "interval": 0.001},
        ],
    }


def backlog(frames):
    """Two adapters on one cable, A offering `frames` 1514-byte frames 10 us apart: ten times
    what the bus carries, so nearly all of them wait in A's send queue. The run ends a second
    after the last frame is offered, long before the queue drains."""
    return {
        "name": f"backlog-{frames}",
        "duration_s": round(2 + frames * 0.00001 + 1, 3),
        "adapters": [
            {"name": "A", "eeprom": "02:00:00:00:00:0a", "phys": [{"address": 0, "id": "0x225410"}]},
            {"name": "B", "eeprom": "02:00:00:00:00:0b", "phys": [{"address": 0, "id": "0x406210"}]},
        ],
        "links": [{"name": "cable", "medium": "ethernet", "up": True, "between": ["A:0", "B:0"]}],
        "events": [
            {"at": 0, "do": "initialize", "adapter": "A"},
            {"at": 0, "do": "initialize", "adapter": "B"},
            {"at": 2, "do": "traffic", "adapter": "A", "frames": frames, "size": 1514,
             "interval": 0.00001},
        ],
    }


def pairs(adapters, frames=1000):
    """`adapters` adapters in pairs, one cable a pair, each sending `frames` 600-byte frames to
    its partner once all have started (start-ups run one at a time, about a second each)."""
    start = 2 + 1.1 * adapters
    body = {"name": f"pairs-{adapters}", "duration_s": round(start + frames * 0.001 + 10, 3),
            "adapters": [], "links": [], "events": []}
    for i in range(adapters):
        name = f"N{i}"
        body["adapters"].append({"name": name, "eeprom": f"02:00:00:00:{i // 256:02x}:{i % 256:02x}",
                                 "phys": [{"address": 0, "id": "0x225410"}]})
        body["events"].append({"at": 0, "do": "initialize", "adapter": name})
        body["events"].append({"at": round(start, 3), "do": "traffic", "adapter": name, "frames": frames,
                               "size": 600, "interval": 0.001})
    for i in range(0, adapters, 2):
        body["links"].append({"name": f"cable{i // 2}", "medium": "ethernet", "up": True,
                              "between": [f"N{i}:0", f"N{i + 1}:0"]})
    return body


class Build:
    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        self.nicsim = os.path.join(self.dir, "tools", "nicsim", "nicsim")
        self.frames = os.path.join(self.dir, "bench", "frame_instructions")
        self.nicsim_bench = os.path.join(self.dir, "bench", "nicsim_bench")
        for path in (self.nicsim,):
            if not os.access(path, os.X_OK):
                sys.exit(f"measure.py: {path} is missing; build the default preset first")
        self.scratch = tempfile.mkdtemp(prefix="nicsim-measure-")

    def scenario(self, body):
        path = os.path.join(self.scratch, body["name"] + ".json")
        with open(path, "w") as f:
            json.dump(body, f)
        return path

    def default_seconds(self):
        shown = subprocess.run([self.nicsim, "show", "default"], check=True, capture_output=True,
                               text=True).stdout
        return json.loads(shown)["duration_s"]

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


def callgrind(command, scratch, collect_at_start=True):
    """Runs `command` under callgrind; returns [(instructions, file, function)] of its self
    costs. Without `collect_at_start` only what the program itself switches on is counted
    (frame_instructions does, around its measured frames)."""
    out = os.path.join(scratch, "callgrind.out")
    switch = [] if collect_at_start else ["--collect-atstart=no"]
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + switch + command,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    annotated = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", out],
        check=True, capture_output=True, text=True).stdout
    os.unlink(out)
    rows = []
    in_table = False
    for line in annotated.splitlines():
        if "file:function" in line:
            in_table = True
            continue
        if not in_table:
            continue
        if not line.strip():
            if rows:
                break
            continue
        m = ANNOTATE_LINE.match(line)
        if m:
            rows.append((int(m.group(1).replace(",", "")), m.group(2), m.group(3)))
    return rows


def split(rows):
    parts = {"driver": 0, "copy": 0, "world": 0}
    for count, path, function in rows:
        if COPY_FUNCTION.search(function):
            parts["copy"] += count
        elif "/driver/" in path or path.startswith("driver/"):
            parts["driver"] += count
        else:
            parts["world"] += count
    parts["total"] = sum(parts.values())
    return parts


def instructions(build, frames=FRAMES):
    if not shutil.which("valgrind"):
        sys.exit("measure.py: valgrind is not installed (apt-get install valgrind)")
    if not os.access(build.frames, os.X_OK):
        sys.exit(f"measure.py: {build.frames} is missing; build the default preset first")
    print(f"instructions per frame (callgrind, {frames} frames after a warm-up)")
    print(f"  {'case':<16}{'total':>10}{'driver':>10}{'copy':>10}{'world':>10}")
    results = {}
    for case in ("send", "receive"):
        for size in (64, 1514):
            parts = split(callgrind([build.frames, case, str(size), str(frames)], build.scratch,
                                   collect_at_start=False))
            per = {k: round(v / frames) for k, v in parts.items()}
            results[f"{case}/{size}"] = per
            print(f"  {case + ' ' + str(size) + ' B':<16}{per['total']:>10,}{per['driver']:>10,}"
                  f"{per['copy']:>10,}{per['world']:>10,}")
    for size in (64, 1514):
        parts = split(callgrind([build.frames, "copy", str(size), str(frames)], build.scratch,
                                 collect_at_start=False))
        per = round(parts["total"] / frames)
        results[f"memcpy/{size}"] = per
        print(f"  {'memcpy ' + str(size) + ' B':<16}{per:>10,}")

    print("instructions per virtual second (callgrind, the whole `nicsim run --quiet`)")
    for name, scenario, seconds in (("default story", "default", build.default_seconds()),
                                    ("idle day", build.scenario(idle_day()), 86400)):
        parts = split(callgrind([build.nicsim, "run", scenario, "--quiet"], build.scratch))
        per = round(parts["total"] / seconds)
        results[name] = per
        print(f"  {name:<16}{per:>10,}   ({parts['total']:,} over {seconds:g} s)")
    return results


def run_child(command):
    """Runs `command`; returns (CPU seconds, peak resident KiB) of that child alone."""
    pid = os.spawnvp(os.P_NOWAIT, command[0], command)
    _, status, usage = os.wait4(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"measure.py: {' '.join(command)} exited with {os.waitstatus_to_exitcode(status)}")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def quiet(build, scenario):
    return [build.nicsim, "run", scenario, "--quiet"]


def memory(build):
    print("peak resident memory of `nicsim run --quiet`, two adapters exchanging 1514-byte frames")
    results = {}
    for total in (10**4, 10**6):
        path = build.scenario(exchange(total // 2))
        cpu, peak_kib = run_child(quiet(build, path))
        results[str(total)] = peak_kib
        print(f"  {total:>9,} frames  {peak_kib / 1024:8.1f} MiB   ({cpu:.1f} CPU s)")
    print("peak resident memory with a backlog: 1514-byte frames offered 10 us apart, one way")
    for total in (10**6, 4 * 10**6):
        path = build.scenario(backlog(total))
        cpu, peak_kib = run_child(quiet(build, path))
        results[f"backlog {total}"] = peak_kib
        print(f"  {total:>9,} frames  {peak_kib / 1024:8.1f} MiB   ({cpu:.1f} CPU s)   backlog")
    return results


def cpu(build, repeats=5):
    print(f"CPU time (best of {repeats})")
    results = {}
    path = build.scenario(exchange(10**4))
    best = min(run_child(quiet(build, path))[0] for _ in range(repeats))
    results["exchange"] = best
    print(f"  two adapters, 10^4 frames each way  {best:10.3f} CPU s (the whole nicsim run)")
    # Whole runs in one process (bench/nicsim_bench): start-up of the program is not counted.
    if not os.access(build.nicsim_bench, os.X_OK):
        sys.exit(f"measure.py: {build.nicsim_bench} is missing; build the default preset first")
    out = subprocess.run([build.nicsim_bench, "--benchmark_format=json",
                          f"--benchmark_repetitions={repeats}"],
                         check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    for name, bench, seconds in (("default story", "DefaultStory", build.default_seconds()),
                                 ("idle day", "IdleDay", 86400)):
        cpu_ms = min(b["cpu_time"] for b in runs if b["run_name"].split("/")[0] == bench)
        rate = seconds / (cpu_ms / 1000)
        results[name] = rate
        print(f"  {name:<34}{rate:12,.0f} virtual s per CPU s ({cpu_ms:.2f} CPU ms a run)")
    return results


def scale(build, repeats=3):
    print(f"adapters in pairs, 1000 frames each (best of {repeats})")
    results = {}
    for adapters in (2, 8, 32, 64):
        path = build.scenario(pairs(adapters))
        best = min(run_child(quiet(build, path))[0] for _ in range(repeats))
        results[str(adapters)] = best
        print(f"  {adapters:>3} adapters  {best:8.3f} CPU s   {best / adapters * 1000:7.2f} ms per adapter")
    return results


def process(build, runs=PROCESS_RUNS):
    """Whole processes, as a user starts them: the CPU time the kernel accounts to each child
    (wait4's rusage, user + system), never wall time, which a busy machine stretches."""
    print(f"CPU time of whole processes ({runs} runs each; median, best)")
    results = {}
    seconds = build.default_seconds()
    # What starting any program costs on this machine (exec, page faults, exit), for scale: on a
    # virtual machine with slow page faults it can be most of a short process's time.
    true = shutil.which("true") or "/bin/true"
    for name, command in (("floor: true", [true]),
                          ("version", [build.nicsim, "--version"]),
                          ("default story", quiet(build, "default"))):
        with open(os.devnull, "wb") as null:
            times = []
            for _ in range(runs):
                saved = os.dup(1)
                os.dup2(null.fileno(), 1)
                try:
                    times.append(run_child(command)[0])
                finally:
                    os.dup2(saved, 1)
                    os.close(saved)
        times.sort()
        median, best = times[len(times) // 2], times[0]
        results[name] = {"median_ms": median * 1000, "best_ms": best * 1000}
        print(f"  {name:<34}{median * 1000:10.2f} ms median {best * 1000:10.2f} ms best")
        if name == "default story":
            rate = seconds / median if median > 0 else float("inf")
            results["default story rate"] = rate
            print(f"  {'default story, virtual s per CPU s':<34}{rate:10,.0f} (median run, {seconds:g} virtual s)")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("sections", nargs="*", metavar="SECTION",
                        help=f"{', '.join(SECTIONS)} (default: all)")
    parser.add_argument("--build", default=os.path.join(REPO, "build", "default"),
                        help="the build directory to measure (default: build/default)")
    parser.add_argument("--frames", type=int, default=FRAMES,
                        help=f"frames per data-path case under callgrind (default {FRAMES})")
    parser.add_argument("--json", metavar="FILE", help="also write the numbers as JSON")
    args = parser.parse_args()
    for section in args.sections:
        if section not in SECTIONS:
            parser.error(f"unknown section '{section}': choose from {', '.join(SECTIONS)}")
    if args.frames < 1:
        parser.error("--frames must be at least 1")
    sections = args.sections or list(SECTIONS)
    build = Build(args.build)
    results = {}
    try:
        for section in sections:
            results[section] = {"instructions": lambda: instructions(build, args.frames),
                                "memory": lambda: memory(build),
                                "cpu": lambda: cpu(build),
                                "scale": lambda: scale(build),
                                "process": lambda: process(build)}[section]()
    finally:
        build.close()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
