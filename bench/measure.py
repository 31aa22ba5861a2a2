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
# Frames each way of the two exchanges whose difference is the whole world's cost of a frame;
# --check-doc runs shorter ones (the cost of a frame is the same, to well within its tolerance).
EXCHANGE_FRAMES = (500, 1500)
CHECK_EXCHANGE_FRAMES = (150, 450)
SECTIONS = ("instructions", "memory", "cpu", "scale", "process")
PROCESS_RUNS = 30


def idle_adapter_day():
    return {
        "name": "idle-day",
        "duration_s": 86400,
        "adapters": [{"name": "A", "phys": [{"address": 0, "id": "0x225410", "link": "eth0"}]}],
        "links": [{"name": "eth0", "medium": "ethernet", "up": True}],
        "events": [{"at": 0, "do": "initialize", "adapter": "A"}],
    }


def cable_pair(name, duration_s, traffic):
    """Two adapters, A and B, on one Ethernet cable, both started at 0, then the `traffic`
    events."""
    return {
        "name": name,
        "duration_s": duration_s,
        "adapters": [
            {"name": "A", "eeprom": "02:00:00:00:00:0a", "phys": [{"address": 0, "id": "0x225410"}]},
            {"name": "B", "eeprom": "02:00:00:00:00:0b", "phys": [{"address": 0, "id": "0x406210"}]},
        ],
        "links": [{"name": "cable", "medium": "ethernet", "up": True, "between": ["A:0", "B:0"]}],
        "events": [
            {"at": 0, "do": "initialize", "adapter": "A"},
            {"at": 0, "do": "initialize", "adapter": "B"},
        ] + traffic,
    }


def exchange(frames_each_way, duration_s=None):
    """Two adapters on one cable, each sending `frames_each_way` 1514-byte frames to the other
    from the fifth second on, a frame a millisecond; the run ends 20 s after the last frame, or
    after `duration_s`."""
    burst = {"at": 5, "do": "traffic", "frames": frames_each_way, "size": 1514, "interval": 0.001}
    if duration_s is None:
        duration_s = 5 + frames_each_way * 0.001 + 20
    return cable_pair(f"exchange-{frames_each_way}", duration_s,
                      [dict(burst, adapter="A"), dict(burst, adapter="B")])


def backlog(frames):
    """Two adapters on one cable, A offering `frames` 1514-byte frames 10 us apart: ten times
    what the bus carries, so nearly all of them wait in A's send queue. The run ends a second
    after the last frame is offered, long before the queue drains."""
    return cable_pair(f"backlog-{frames}", round(2 + frames * 0.00001 + 1, 3),
                      [{"at": 2, "do": "traffic", "adapter": "A", "frames": frames, "size": 1514,
                        "interval": 0.00001}])


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
        self.empty_process = os.path.join(self.dir, "bench", "empty_process")
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


# The C library's ways into the heap: operator new and the containers' allocators end in one of
# these, so their calls count every block the program takes (operator new calls malloc: counting
# both would count a block twice).
ALLOCATORS = ("malloc", "calloc", "realloc", "aligned_alloc", "memalign", "posix_memalign")


def callgrind(command, scratch, collect_at_start=True, allocations=None):
    """Runs `command` under callgrind; returns [(instructions, file, function)] of its self
    costs. Without `collect_at_start` only what the program itself switches on is counted
    (frame_instructions does, around its measured frames). With `allocations` (a dict), it is
    given the number of calls into the heap (ALLOCATORS), read from callgrind's call counts."""
    out = os.path.join(scratch, "callgrind.out")
    switch = [] if collect_at_start else ["--collect-atstart=no"]
    subprocess.run(["valgrind", "--tool=callgrind", "--compress-strings=no",
                    "--callgrind-out-file=" + out] + switch + command,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if allocations is not None:
        allocations["calls"] = heap_calls(out)
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


def heap_calls(path):
    """Calls into ALLOCATORS recorded in callgrind output `path` (written with
    --compress-strings=no): every `calls=N` line that follows a `cfn=` naming one of them."""
    total = 0
    callee = None
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("cfn="):
                name = line[4:].strip()
                callee = name.split("'")[0] in ALLOCATORS
            elif line.startswith("calls=") and callee:
                total += int(line[6:].split()[0])
            elif line.startswith(("fn=", "fl=", "fi=", "fe=")):
                callee = None
    return total


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


def instructions(build, frames=FRAMES, idle_day=True, exchange_frames=EXCHANGE_FRAMES):
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

    # The whole world of a two-adapter exchange: both adapters' drivers, NDIS, kernels, buses and
    # devices, the cable, the FCS, the runner's test frames made and checked. Two runs that differ
    # only in the number of frames: their difference over the frames added is the cost of a frame
    # (each frame counted once, sent by one adapter and received by the other); start-up, halt and
    # the idle seconds around the burst cancel out.
    # Both runs last as long as the longer one needs, so that their idle seconds (link polls,
    # trace lines, timers) are the same and only the frames differ.
    few, many = exchange_frames
    duration_s = exchange(many)["duration_s"]
    counted = {}
    for each_way in (few, many):
        heap = {}
        parts = split(callgrind(quiet(build, build.scenario(exchange(each_way, duration_s))), build.scratch,
                                allocations=heap))
        counted[each_way] = (parts["total"], heap["calls"])
    frames_added = 2 * (many - few)
    per = round((counted[many][0] - counted[few][0]) / frames_added)
    allocs = (counted[many][1] - counted[few][1]) / frames_added
    results["exchange/1514"] = per
    results["allocations/exchange"] = round(allocs, 2)
    print(f"two adapters exchanging 1514 B frames, whole world, per frame ({frames_added:,} frames)")
    print(f"  {'instructions':<16}{per:>10,}")
    print(f"  {'allocations':<16}{allocs:>10.2f}   (calls into malloc and its kin)")

    print("instructions per virtual second (callgrind, the whole `nicsim run --quiet`)")
    runs = [("default story", "default", build.default_seconds())]
    if idle_day:
        runs.append(("idle day", build.scenario(idle_adapter_day()), 86400))
    whole = {}
    for name, scenario, seconds in runs:
        parts = split(callgrind([build.nicsim, "run", scenario, "--quiet"], build.scratch))
        per = round(parts["total"] / seconds)
        results[name] = per
        whole[name] = parts["total"]
        print(f"  {name:<16}{per:>10,}   ({parts['total']:,} over {seconds:g} s)")

    # Several processors: every context becomes a task on a fiber of its own, which the seed
    # interleaves. The same story on four, against one.
    four = split(callgrind([build.nicsim, "run", "default", "--quiet", "--cpus", "4"],
                           build.scratch))["total"]
    one = whole["default story"]
    results["cpus 4/1"] = round(100 * (four - one) / one, 1)
    print("the default story on 4 processors against 1 (callgrind, the whole run)")
    print(f"  {'instructions':<16}{results['cpus 4/1']:>+9.1f}%   ({four:,} against {one:,})")
    return results


# docs/performance.md's instruction table lies between these two lines; `--write-doc` rewrites
# it, `--check-doc` compares it with a fresh measurement.
DOC = os.path.join(REPO, "docs", "performance.md")
DOC_BEGIN = "<!-- instructions table: written by `bench/measure.py instructions --write-doc` -->"
DOC_END = "<!-- end of the instructions table -->"
# A row of the table: its label, its key in instructions()'s results, the number at d22088b (the
# tree before this work, measured with this script) and the target, if any.
DOC_ROWS = (
    ("send, 1514 B, per frame, all included", "send/1514", 4942, "≤ 2,500"),
    ("send, 64 B", "send/64", 4617, ""),
    ("receive, 1514 B, per frame, all included", "receive/1514", 5400, "≤ 3,000"),
    ("receive, 64 B", "receive/64", 4937, ""),
    ("two adapters exchanging 1514 B frames, per frame, whole world", "exchange/1514", 30973,
     "≤ 8,000"),
    ("allocations per frame, whole world (calls into malloc)", "allocations/exchange", 6.26, "0"),
    ("`memcpy` of 1514 bytes", "memcpy/1514", 185, ""),
    ("default story, per virtual second", "default story", 736539, ""),
    ("default story, `--cpus 4` against `--cpus 1`, instructions (%, more)", "cpus 4/1", 33.3,
     "≤ 10"),
)
# Instruction counts may drift this much (a compiler's or library's update) before the committed
# table counts as stale; allocations are whole calls, compared to the hundredth.
DOC_TOLERANCE = 0.02


def row_value(results, key):
    value = results[key]
    return value["total"] if isinstance(value, dict) else value


def number_text(value):
    return f"{value:,.2f}" if isinstance(value, float) else f"{value:,}"


# What decides which block copy the C library picks and whether the FCS folds with carry-less
# multiplies: instruction counts hold for one kind of processor only.
PROCESSOR_FLAGS = ("sse4_1", "sse4_2", "ssse3", "avx", "avx2", "avx512f", "avx512vl", "erms", "fsrm",
                   "pclmulqdq")
PROCESSOR_LINE = "<!-- measured on: "


def processor():
    """The processor's model and the flags of PROCESSOR_FLAGS it has, as one line of text."""
    model, flags = "unknown", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "model name" and model == "unknown":
                    model = value.strip()
                elif key.strip() == "flags" and not flags:
                    flags = set(value.split())
    except OSError:
        pass
    return f"{model}; {' '.join(f for f in PROCESSOR_FLAGS if f in flags)}"


def doc_table(results):
    lines = [DOC_BEGIN, f"{PROCESSOR_LINE}{processor()} -->",
             "| Measure (instructions, callgrind) | Before (d22088b) | Now | Target |",
             "|---|---|---|---|"]
    for label, key, before, target in DOC_ROWS:
        lines.append(f"| {label} | {number_text(before)} | {number_text(row_value(results, key))} "
                     f"| {target} |")
    lines.append(DOC_END)
    return "\n".join(lines)


def read_doc():
    with open(DOC) as f:
        text = f.read()
    begin, end = text.find(DOC_BEGIN), text.find(DOC_END)
    if begin < 0 or end < begin:
        sys.exit(f"measure.py: {DOC} has no instructions table between '{DOC_BEGIN}' and '{DOC_END}'")
    return text, begin, end + len(DOC_END)


def write_doc(results):
    text, begin, end = read_doc()
    with open(DOC, "w") as f:
        f.write(text[:begin] + doc_table(results) + text[end:])
    print(f"wrote the instructions table of {DOC}")


def doc_processor():
    """The processor the committed table was measured on, as processor() wrote it."""
    text, begin, end = read_doc()
    for line in text[begin:end].splitlines():
        if line.startswith(PROCESSOR_LINE):
            return line[len(PROCESSOR_LINE):].removesuffix("-->").strip()
    return None


def check_doc(results):
    """Returns the rows whose committed number differs from `results` beyond DOC_TOLERANCE."""
    text, begin, end = read_doc()
    committed = {}
    for line in text[begin:end].splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 4:
            committed[cells[0]] = cells[2]
    stale = []
    for label, key, _, _ in DOC_ROWS:
        if key not in results:
            continue
        now = row_value(results, key)
        if label not in committed:
            stale.append(f"'{label}' is missing from the table")
            continue
        try:
            then = float(committed[label].replace(",", ""))
        except ValueError:
            stale.append(f"'{label}': '{committed[label]}' is not a number")
            continue
        if isinstance(now, float):
            off = abs(now - then) > 0.01 + DOC_TOLERANCE * then
        else:
            off = abs(now - then) > DOC_TOLERANCE * max(then, 1)
        if off:
            stale.append(f"'{label}': the table says {committed[label]}, measured {number_text(now)}")
    return stale


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
    commands = (("floor: true", [true]),
                ("version", [build.nicsim, "--version"]),
                ("default story", quiet(build, "default")))
    # Below `true`: a process with no C library at all, one exit system call (x86-64 Linux
    # builds only), what the machine charges before any program's own start-up.
    if os.access(build.empty_process, os.X_OK):
        commands = (("floor: an empty process", [build.empty_process]),) + commands
    # Round by round, one run of each: a change of the machine's load while they run falls on
    # all three alike, so the floor stays comparable with the other two.
    times = {name: [] for name, _ in commands}
    with open(os.devnull, "wb") as null:
        saved = os.dup(1)
        os.dup2(null.fileno(), 1)
        try:
            for _ in range(runs):
                for name, command in commands:
                    times[name].append(run_child(command)[0])
        finally:
            os.dup2(saved, 1)
            os.close(saved)
    for name, _ in commands:
        ordered = sorted(times[name])
        median, best = ordered[len(ordered) // 2], ordered[0]
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
    parser.add_argument("--write-doc", action="store_true",
                        help="write the instructions table of docs/performance.md from this run")
    parser.add_argument("--check-doc", action="store_true",
                        help="measure the instructions table's rows (not the idle day) and fail "
                             "when docs/performance.md differs by more than 2%%; exits 77 (a "
                             "skip, for CTest) when valgrind is not installed")
    args = parser.parse_args()
    for section in args.sections:
        if section not in SECTIONS:
            parser.error(f"unknown section '{section}': choose from {', '.join(SECTIONS)}")
    if args.frames < 1:
        parser.error("--frames must be at least 1")
    if (args.write_doc or args.check_doc) and args.sections not in ([], ["instructions"]):
        parser.error("--write-doc and --check-doc measure the instructions section only")
    if args.write_doc and args.check_doc:
        parser.error("--write-doc and --check-doc: choose one")
    if args.check_doc and not shutil.which("valgrind"):
        print("measure.py: valgrind is not installed; the instructions table is not checked")
        return 77
    if args.check_doc and doc_processor() != processor():
        print(f"measure.py: the table was measured on another kind of processor ({doc_processor()}; "
              f"this one: {processor()}), whose block copies cost other counts; not checked")
        return 77
    sections = ["instructions"] if (args.write_doc or args.check_doc) else (args.sections or list(SECTIONS))
    build = Build(args.build)
    results = {}
    try:
        for section in sections:
            results[section] = {"instructions": lambda: instructions(
                                    build, args.frames, idle_day=not args.check_doc,
                                    exchange_frames=CHECK_EXCHANGE_FRAMES if args.check_doc
                                    else EXCHANGE_FRAMES),
                                "memory": lambda: memory(build),
                                "cpu": lambda: cpu(build),
                                "scale": lambda: scale(build),
                                "process": lambda: process(build)}[section]()
    finally:
        build.close()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    if args.write_doc:
        write_doc(results["instructions"])
    if args.check_doc:
        stale = check_doc(results["instructions"])
        for problem in stale:
            print(f"measure.py: docs/performance.md is stale: {problem}")
        if stale:
            print("measure.py: run `python3 bench/measure.py instructions --write-doc` and commit the table")
            return 1
        print("measure.py: docs/performance.md's instructions table matches this build")
    return 0


if __name__ == "__main__":
    sys.exit(main())
