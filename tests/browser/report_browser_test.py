#!/usr/bin/env python3
"""`nicsim report` pages in a real headless browser (Debian's chromium).

For each run below the page must load without a console error or a script error, draw the
number of marks its trace calls for (counted here from the JSON Lines, not from nicsim), lay the
marks out again when opened on a stretch of the run, and fetch nothing. The default story's page
is kept as a screenshot.

Usage: report_browser_test.py NICSIM SCREENSHOT.png   (exit status 0: all passed)
"""
import html.parser
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

NICSIM, SHOT = sys.argv[1], sys.argv[2]
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
failures = 0


def check(ok, what):
    global failures
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures += 1


class Dom(html.parser.HTMLParser):
    """The root's attributes and every drawn rectangle's, from the DOM after the scripts ran."""

    def __init__(self):
        super().__init__()
        self.root, self.rects = {}, []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "html":
            self.root = a
        elif tag == "rect":
            self.rects.append(a)


def browse(profile, url, *extra):
    """Runs chromium headless on `url`; returns (stdout, stderr)."""
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", *extra, url]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    return done.stdout, done.stderr


def console_errors(stderr):
    """Console messages and load failures chromium logged for the page."""
    return [l for l in stderr.splitlines()
            if ("CONSOLE" in l and ("Uncaught" in l or "Error" in l or "Refused" in l))
            or "net::ERR" in l]


def expected(trace):
    """What the page must show, counted from the trace."""
    kinds = {"link": "link", "phy_link": "phy_link", "media": "media", "ping": "ping", "phys": "phys",
             "fault": "fault", "violation": "violation", "indicate_status": "indication"}
    count = {k: 0 for k in kinds.values()}
    frames_out = frames_in = packets = 0
    spans = []
    adapters = set()
    with open(trace) as f:
        lines = [json.loads(l) for l in f]
    for l in lines:
        ev = l["ev"]
        if ev in kinds:
            count[kinds[ev]] += 1
        if ev == "wire" and ":" in l["from"]:
            frames_out += 1
        if ev == "indicate_receive":
            frames_in += 1
        if ev in ("control", "bulk"):
            adapters.add(l["adapter"])
            spans.append((l["adapter"], l["submitted_us"], l["t_us"]))
            packets += l.get("packets", 0)
    # Per adapter, the number of requests in flight after each instant something happened:
    # submitted at or before it, completed after it.
    levels = {}
    for a in adapters:
        mine = [(s, c) for ad, s, c in spans if ad == a]
        events = sorted([(s, 1) for s, c in mine] + [(c, -1) for s, c in mine])
        steps, level, i = [], 0, 0
        while i < len(events):
            t = events[i][0]
            while i < len(events) and events[i][0] == t:
                level += events[i][1]
                i += 1
            steps.append((t, level))
        levels[a] = steps
    return lines, count, frames_out, frames_in, packets, levels


def check_page(name, page, trace, profile, full_speed=False):
    lines, count, frames_out, frames_in, packets, levels = expected(trace)
    out, err = browse(profile, "file://" + page, "--dump-dom")
    dom = Dom()
    dom.feed(out)
    check(dom.root.get("data-ready") == "1", f"{name}: the page's script ran to the end")
    check(dom.root.get("data-errors") == "0",
          f"{name}: no script error ({dom.root.get('data-errors')}: {dom.root.get('data-error-text', '')})")
    errors = console_errors(err)
    check(not errors, f"{name}: no console error or failed load ({errors[:3]})")
    marks = [r for r in dom.rects if "mark" in r.get("class", "").split()]
    check(dom.root.get("data-marks") == str(len(marks)), f"{name}: the script laid out all {len(marks)} marks")
    drawn = {}
    sums = {}
    for m in marks:
        k = m.get("data-kind")
        drawn[k] = drawn.get(k, 0) + 1
        if "data-n" in m:
            sums[k] = sums.get(k, 0) + float(m["data-n"])
    for kind, n in count.items():
        check(drawn.get(kind, 0) == n, f"{name}: {n} {kind} marks (drawn {drawn.get(kind, 0)})")
    check(sums.get("frames-out", 0) == frames_out, f"{name}: bins hold the {frames_out} frames out")
    check(sums.get("frames-in", 0) == frames_in, f"{name}: bins hold the {frames_in} frames in")
    # Each in-flight bin holds the most requests in flight at any instant of it; every bin
    # where some request was in flight has one.
    wrong, bins = [], 0
    for a, steps in levels.items():
        drawn_bins = {int(m["data-t0"]): m for m in marks
                      if m.get("data-kind") == "usb-inflight" and m.get("data-adapter") == a}
        width = {int(m["data-t1"]) - int(m["data-t0"]) for m in drawn_bins.values()}
        if len(width) != 1:
            wrong.append((a, "bins of widths", sorted(width)))
            continue
        width = width.pop()
        most = {}
        for j, (t, level) in enumerate(steps):
            b = t // width * width
            most[b] = max(most.get(b, 0), level)
            # The level holds until the next instant: through every bin up to it.
            end = steps[j + 1][0] if j + 1 < len(steps) else t
            for b2 in range(b + width, end // width * width + 1, width):
                most[b2] = max(most.get(b2, 0), level)
        most = {b: v for b, v in most.items() if v > 0}
        bins += len(most)
        for b in set(most) | set(drawn_bins):
            got = float(drawn_bins[b]["data-v"]) if b in drawn_bins else 0
            if got != most.get(b, 0):
                wrong.append((a, b, got, most.get(b, 0)))
    check(not wrong and bins > 0, f"{name}: requests in flight in each of {bins} bins ({wrong[:3]})")
    if full_speed:
        check(sums.get("packets", 0) == packets and packets > 0, f"{name}: bins hold the {packets} bulk packets")
    else:
        check("packets" not in drawn, f"{name}: no packets lane under the frame timing")
    # Hover text: the record behind every ping mark, as the trace has it.
    titles = set()
    for l in lines:
        if l["ev"] == "ping":
            titles.add(json.dumps(l, separators=(",", ":")))
    page_text = open(page).read()
    missing = [t for t in titles if t.replace('"', "&quot;") not in page_text]
    check(not missing, f"{name}: every ping's record is behind its mark ({missing[:1]})")
    return dom, marks


def main():
    if not CHROMIUM:
        print("FAIL: chromium is not installed (apt-get install chromium)")
        return 1
    build = os.path.dirname(os.path.abspath(SHOT))
    os.makedirs(build, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="report-test-", dir=build) as scratch:
        profile = os.path.join(scratch, "profile")
        trace, page = os.path.join(scratch, "default.jsonl"), os.path.join(scratch, "default.html")
        run = subprocess.run([NICSIM, "run", "--quiet", "--trace", trace, "--html", page])
        check(run.returncode == 0, "default story: nicsim run --html exits 0")
        dom, marks = check_page("default story", page, trace, profile)

        # Opened on 4 s to 8 s: every interval mark starts where the axis puts its time.
        out, err = browse(profile, "file://" + page + "#us=4000000-8000000", "--dump-dom")
        zoomed = Dom()
        zoomed.feed(out)
        svg_left, svg_width = 250.0, 1130.0
        wrong = []
        for r in zoomed.rects:
            if "mark" in r.get("class", "").split() and "data-t1" in r:
                want = svg_left + (int(r["data-t0"]) - 4e6) * svg_width / 4e6
                if abs(float(r["x"]) - want) > 0.01:
                    wrong.append((r["data-t0"], r["x"], want))
        check(zoomed.root.get("data-errors") == "0" and not wrong,
              f"zoomed to 4-8 s: marks laid out on the new axis ({wrong[:2]})")

        # The screenshot, kept as the CI artefact.
        if os.path.exists(SHOT):
            os.remove(SHOT)
        browse(profile, "file://" + page, "--screenshot=" + SHOT, "--window-size=1600,1000",
               "--hide-scrollbars")
        ok = os.path.exists(SHOT)
        if ok:
            with open(SHOT, "rb") as f:
                head = f.read(24)
            ok = head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", head[16:24]) == (1600, 1000)
        check(ok, f"screenshot of the default story's page: {SHOT}")

        # Faults fired, a stalled and a late request, on the full-speed bus: drawn from the trace
        # by `nicsim report`.
        scenario = os.path.join(scratch, "faults.json")
        with open(scenario, "w") as f:
            json.dump({"duration_s": 12,
                       "adapters": [{"name": "A", "phys": [{"address": 0, "id": "0x225410", "link": "eth0"}]}],
                       "links": [{"name": "eth0", "medium": "ethernet", "up": True,
                                  "peer": {"kind": "responder", "ip": "192.168.7.1"}}],
                       "events": [{"at": 0, "do": "initialize", "adapter": "A"},
                                  {"at": 2, "do": "ping", "adapter": "A", "ip": "192.168.7.2",
                                   "to": "192.168.7.1", "count": 4, "interval": 1},
                                  {"at": 3, "do": "fault", "adapter": "A", "fault": "bulk-late", "count": 3,
                                   "ms": 40},
                                  {"at": 4, "do": "fault", "adapter": "A", "fault": "control-stall", "nth": 2},
                                  {"at": 5, "do": "traffic", "adapter": "A", "frames": 300, "size": 1500,
                                   "interval": 0.001},
                                  {"at": 7, "do": "link", "link": "eth0", "up": False},
                                  {"at": 9, "do": "link", "link": "eth0", "up": True},
                                  {"at": 11, "do": "halt", "adapter": "A"}]}, f)
        trace2, page2 = os.path.join(scratch, "faults.jsonl"), os.path.join(scratch, "faults.html")
        run = subprocess.run([NICSIM, "run", "--quiet", scenario, "--usb-timing", "full-speed", "--trace", trace2])
        check(run.returncode in (0, 1), "faults: nicsim run exits")
        rep = subprocess.run([NICSIM, "report", trace2, "-o", page2])
        check(rep.returncode == 0, "faults: nicsim report exits 0")
        _, count, *_ = expected(trace2)
        check(count["fault"] >= 4, f"faults: the trace has faults armed and fired ({count['fault']})")
        check_page("faults, full speed", page2, trace2, profile, full_speed=True)
    print(f"report: {failures} failed" if failures else "report: all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
