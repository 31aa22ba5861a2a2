#!/usr/bin/env python3
"""`nicsim report` pages in a real headless browser (Debian's chromium).

For each run below the page must load without a console error or a script error and draw what
its trace calls for, counted here from the JSON Lines, not from nicsim: the marks of each kind and
look, fault marks labelled with their fault, a lane per USB pipe the trace used, bins (frames,
bytes, requests in flight, send latencies, tasks per processor) that hold the trace's numbers at
the width the view calls for and refine when it zooms, a processor lane per processor exactly when
the run had several, no lane without a mark, and a legend that names every kind of mark drawn in
the colour it is drawn in. It fetches nothing. The default story's page is kept as a screenshot,
and the load time of the two_adapters story's page is printed.

Usage: report_browser_test.py NICSIM SCREENSHOT.png   (exit status 0: all passed)
"""
import collections
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
PENDING, RESOURCES = "0x00000103", "0xC000009A"  # NDIS_STATUS_PENDING, NDIS_STATUS_RESOURCES
failures = 0


def check(ok, what):
    global failures
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures += 1


class Dom(html.parser.HTMLParser):
    """From the DOM after the scripts ran: the root's attributes, every rectangle, polyline and
    label with the lane it is in, the lanes, and the legend's keys."""

    def __init__(self):
        super().__init__()
        self.root, self.rects, self.lines, self.labels, self.lanes, self.legend = {}, [], [], [], [], {}
        self.groups = []  # open <g> elements: the lane's index, or None
        self.text = None  # an open label: [attributes, text]
        self.key = None   # an open legend entry's key

    def lane(self):
        return next((g for g in reversed(self.groups) if g is not None), None)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        cls = a.get("class", "").split()
        if tag == "html":
            self.root = a
        elif tag == "g":
            if "lane" in cls:
                self.lanes.append(dict(a, marks=0))
                self.groups.append(len(self.lanes) - 1)
            else:
                self.groups.append(None)
        elif tag == "span" and "key" in cls:
            self.key = a.get("data-key")
            self.legend[self.key] = {}
        elif tag in ("rect", "line") and "swatch" in cls and self.key is not None:
            self.legend[self.key] = a
        elif tag == "rect":
            a["lane"] = self.lane()
            self.rects.append(a)
            if a["lane"] is not None and ("mark" in cls or "seg" in cls):
                self.lanes[a["lane"]]["marks"] += 1
        elif tag == "polyline":
            a["lane"] = self.lane()
            self.lines.append(a)
        elif tag == "text" and ("plabel" in cls or "slabel" in cls):
            self.text = [a, ""]

    def handle_endtag(self, tag):
        if tag == "g" and self.groups:
            self.groups.pop()
        elif tag == "span":
            self.key = None
        elif tag == "text" and self.text is not None:
            self.labels.append(self.text)
            self.text = None

    def handle_data(self, data):
        if self.text is not None:
            self.text[1] += data


def browse(profile, url, *extra):
    """Runs chromium headless on `url`; returns (stdout, stderr)."""
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", *extra, url]
    done = subprocess.run(command, capture_output=True, text=True, timeout=180)
    return done.stdout, done.stderr


def console_errors(stderr):
    """Console messages and load failures chromium logged for the page."""
    return [l for l in stderr.splitlines()
            if ("CONSOLE" in l and ("Uncaught" in l or "Error" in l or "Refused" in l))
            or "net::ERR" in l]


def ladder(span, count=200):
    """The bin width a view of `span` microseconds calls for: the smallest of 1, 2, 5 times a
    power of ten that cuts it into at most `count` bins."""
    decade = 1
    while True:
        for m in (1, 2, 5):
            if span / (m * decade) <= count:
                return m * decade
        decade *= 10


def context_class(context):
    return {"usb completion": "ctx-usb", "protocol send": "ctx-send", "timer": "ctx-timer",
            "MiniportReturnPacket": "ctx-return"}.get(context, "ctx-handler")


class Expected:
    """What the page must show, counted from the trace."""

    def __init__(self, trace):
        with open(trace) as f:
            self.lines = [json.loads(l) for l in f]
        self.run = self.lines[0]
        self.looks = collections.Counter()  # (data-kind, data-cls) of marks
        self.fault_labels = collections.Counter()
        self.frames = collections.defaultdict(list)  # (kind, adapter): [(t, bytes)]
        self.packets = 0
        self.pipes = collections.defaultdict(list)  # (adapter, pipe): [(submitted, completed)]
        self.latency = collections.defaultdict(list)  # adapter: [(t completed, latency)]
        self.requests = collections.Counter()  # (adapter, called, completed)
        self.tasks = collections.defaultdict(list)  # (cpu, class): [t]
        self.media_changed = set()
        sent, done = {}, {}
        for l in self.lines:
            ev, t = l["ev"], l["t_us"]
            if ev == "link":
                self.looks["link", "up" if l["up"] else "down"] += 1
                self.media_changed.add(l["link"])
            elif ev == "phy_link":
                self.looks["phy_link", "up" if l["up"] else "down"] += 1
            elif ev == "media":
                self.looks["media", "carrier phy%d" % (l["phy"] % 8) if l["carrier"] else "down"] += 1
            elif ev == "phys":
                self.looks["phys", "phys"] += 1
            elif ev == "indicate_status":
                cls = {"0x4001000B": "connect", "0x4001000C": "disconnect"}.get(l["status"], "status")
                self.looks["indication", cls] += 1
            elif ev == "ping":
                cls = ("reply" if "rtt_us" in l else "lost" if l.get("lost") else
                       "not-sent" if l.get("not_sent") else "error")
                self.looks["ping", cls] += 1
            elif ev == "fault":
                self.looks["fault", l["state"]] += 1
                self.fault_labels[l["fault"] + (" (%s)" % l["kind"] if "kind" in l else "")] += 1
            elif ev == "violation":
                self.looks["violation", "violation"] += 1
            elif ev == "wire" and ":" in l["from"]:
                self.frames["frames-out", l["from"].split(":")[0]].append((t, l["length"]))
            elif ev == "indicate_receive":
                self.frames["frames-in", l["adapter"]].append((t, l["length"]))
            elif ev in ("control", "bulk"):
                pipe = "control" if ev == "control" else "bulk-" + l["ep"]
                self.pipes[l["adapter"], pipe].append((l["submitted_us"], t))
                self.packets += l.get("packets", 0)
            elif ev == "miniport" and l["call"] in ("MiniportQueryInformation", "MiniportSetInformation"):
                self.looks["request", "ok" if l["status"] == "0x00000000" else "failed"] += 1
                self.requests[l["adapter"], l["called_us"], t] += 1
            elif ev == "miniport" and l["call"] == "MiniportSend":
                key = (l["adapter"], l["packet"])
                if l["status"] == RESOURCES:
                    pass  # not taken: NDIS offers the packet again
                elif l["status"] != PENDING:
                    self.latency[l["adapter"]].append((t, t - l["called_us"]))
                elif key in done:
                    c = done.pop(key)
                    self.latency[l["adapter"]].append((c, c - l["called_us"]))
                else:
                    sent[key] = l["called_us"]
            elif ev == "send_complete":
                key = (l["adapter"], l["packet"])
                if key in sent:
                    self.latency[l["adapter"]].append((t, t - sent.pop(key)))
                else:
                    done[key] = t
            elif ev == "switch":
                self.tasks[l["cpu"], context_class(l["context"])].append(t)

    def levels(self, spans):
        """The number of requests in flight after each instant something happened."""
        events = sorted([(s, 1) for s, c in spans] + [(c, -1) for s, c in spans])
        steps, level, i = [], 0, 0
        while i < len(events):
            t = events[i][0]
            while i < len(events) and events[i][0] == t:
                level += events[i][1]
                i += 1
            steps.append((t, level))
        return steps


def in_view(t, b0, b1):
    return b0 <= t < b1


def check_bins(name, e, dom, v0, v1):
    """The series lanes' bins over the view [v0, v1): the width it calls for, and in each bin what
    the trace has there."""
    marks = [r for r in dom.rects if "mark" in r.get("class", "").split()]
    bins = [m for m in marks if "bin" in m.get("class", "").split()]
    w = ladder(v1 - v0)
    check(dom.root.get("data-bin") == str(w), f"{name}: bins of {w} us for a view of {v1 - v0} us "
                                              f"(page: {dom.root.get('data-bin')})")
    widths = {int(m["data-t1"]) - int(m["data-t0"]) for m in bins}
    check(widths == {w}, f"{name}: every bin is {w} us wide ({sorted(widths)[:5]})")
    b0, b1 = v0 // w * w, -(-v1 // w) * w
    across = (b1 - b0) // w
    check(80 <= across <= 201, f"{name}: {across} bins across the view")

    def drawn(kind, **attrs):
        return [m for m in bins if m.get("data-kind") == kind and
                all(m.get("data-" + k) == str(v) for k, v in attrs.items())]

    def total(ms, field):
        return sum(float(m[field]) for m in ms)

    for (kind, adapter), frames in sorted(e.frames.items()):
        seen = [(t, n) for t, n in frames if in_view(t, b0, b1)]
        ms = drawn(kind, adapter=adapter)
        check(total(ms, "data-n") == len(seen) and total(ms, "data-bytes") == sum(n for _, n in seen),
              f"{name}: {adapter} {kind} bins hold the trace's {len(seen)} frames, {sum(n for _, n in seen)} bytes "
              f"(drawn {total(ms, 'data-n'):g}, {total(ms, 'data-bytes'):g})")
        # Per bin: frames per second and bytes per second.
        per = collections.Counter()
        for t, n in seen:
            per[t // w * w] += n
        wrong = [m["data-t0"] for m in ms if abs(float(m["data-bps"]) - per[int(m["data-t0"])] * 1e6 / w) > 1e-6]
        check(not wrong, f"{name}: {adapter} {kind} bytes per second in each bin ({wrong[:3]})")
    # Each in-flight bin holds the most requests in flight at any instant of it; every bin where
    # some request was in flight has one.
    wrong, count = [], 0
    for (adapter, pipe), spans in e.pipes.items():
        steps = e.levels(spans)
        got = {int(m["data-t0"]): float(m["data-v"]) for m in drawn("usb-inflight", adapter=adapter, pipe=pipe)}
        most = {}
        for j, (t, level) in enumerate(steps):
            until = steps[j + 1][0] if j + 1 < len(steps) else t
            # The level holds from its instant to the next: through every bin up to it.
            for b in range(max(t // w * w, b0), min(until // w * w, b1 - w) + 1, w):
                most[b] = max(most.get(b, 0), level)
        most = {b: v for b, v in most.items() if v > 0 and b0 <= b < b1}
        count += len(most)
        for b in set(most) | set(got):
            if got.get(b, 0) != most.get(b, 0):
                wrong.append((adapter, pipe, b, got.get(b, 0), most.get(b, 0)))
    check(not wrong and count > 0, f"{name}: requests in flight per pipe in each of {count} bins ({wrong[:3]})")
    # Send to complete: how many completed in each bin, and the longest.
    for adapter, points in e.latency.items():
        seen = [(t, v) for t, v in points if in_view(t, b0, b1)]
        longest = {}
        for t, v in seen:
            longest[t // w * w] = max(longest.get(t // w * w, 0), v)
        ms = drawn("send-latency", adapter=adapter)
        got = {int(m["data-t0"]): float(m["data-max"]) for m in ms}
        check(total(ms, "data-n") == len(seen) and got == longest,
              f"{name}: {adapter} send-to-complete bins hold the {len(seen)} sends completed, longest "
              f"{max(longest.values(), default=0)} us")
    # Tasks taken up, per processor and kind of context.
    for (cpu, cls), times in e.tasks.items():
        seen = sum(1 for t in times if in_view(t, b0, b1))
        ms = drawn("cpu", cpu=cpu, cls=cls)
        check(total(ms, "data-n") == seen, f"{name}: processor {cpu} bins hold its {seen} {cls} tasks "
                                           f"(drawn {total(ms, 'data-n'):g})")
    return bins


def distance(a, b):
    """Between two computed colours ("rgb(r, g, b)"), in RGB units."""
    def rgb(c):
        return [int(x) for x in c[c.index("(") + 1:c.index(")")].split(",")[:3]]
    return sum((x - y) ** 2 for x, y in zip(rgb(a), rgb(b))) ** 0.5


def check_page(name, page, trace, profile, full_speed=False):
    e = Expected(trace)
    out, err = browse(profile, "file://" + page, "--dump-dom")
    dom = Dom()
    dom.feed(out)
    check(dom.root.get("data-ready") == "1", f"{name}: the page's script ran to the end")
    check(dom.root.get("data-errors") == "0",
          f"{name}: no script error ({dom.root.get('data-errors')}: {dom.root.get('data-error-text', '')})")
    errors = console_errors(err)
    check(not errors, f"{name}: no console error or failed load ({errors[:3]})")
    print(f"{name}: page of {os.path.getsize(page)} bytes, drawn {dom.root.get('data-load-ms')} ms after "
          f"the browser began loading it")
    marks = [r for r in dom.rects if "mark" in r.get("class", "").split()]
    check(dom.root.get("data-marks") == str(len(marks)), f"{name}: the script laid out all {len(marks)} marks")

    # Marks of each kind and look, as many as the trace has lines for.
    looks = collections.Counter((m["data-kind"], m["data-cls"]) for m in marks if "bin" not in m["class"].split())
    for look in set(looks) | set(e.looks):
        check(looks[look] == e.looks[look], f"{name}: {e.looks[look]} {' '.join(look)} marks (drawn {looks[look]})")
    labels = collections.Counter(m.get("data-label") for m in marks if m.get("data-kind") == "fault")
    texts = collections.Counter(t for a, t in dom.labels if "plabel" in a.get("class", ""))
    check(labels == e.fault_labels and all(texts[k] == n for k, n in e.fault_labels.items()),
          f"{name}: fault marks labelled with their faults {dict(e.fault_labels)} (marks {dict(labels)})")
    requests = collections.Counter((m["data-adapter"], int(m["data-t0"]), int(m.get("data-t1", m["data-t0"])))
                                   for m in marks if m.get("data-kind") == "request")
    check(requests == e.requests, f"{name}: each query and set drawn from its call to its completion "
                                  f"({sum(e.requests.values())} in the trace)")

    # Lanes: one per pipe used, a processor lane for each processor only with several, none empty.
    series = [l for l in dom.lanes if l.get("data-lane") == "series"]
    pipes = {(l["data-adapter"], l["data-pipe"]) for l in series if l.get("data-kind") == "usb-inflight"}
    # A pipe whose requests all completed at the instant they were submitted had none in flight.
    used = {k for k, spans in e.pipes.items() if any(c > s for s, c in spans)}
    check(pipes == used and used, f"{name}: pipe lanes {sorted(pipes)} are the pipes the trace used")
    cpus = sorted(int(l["data-cpu"]) for l in series if l.get("data-kind") == "cpu")
    want = sorted({cpu for cpu, _ in e.tasks}) if e.run["cpus"] > 1 else []
    check(cpus == want and (e.run["cpus"] > 1) == bool(cpus),
          f"{name}: processor lanes {cpus} for a run on {e.run['cpus']} processor(s)")
    empty = [l for l in dom.lanes if l["marks"] == 0]
    check(not empty, f"{name}: no lane without a mark ({[l.get('data-kind', l.get('data-lane')) for l in empty][:3]})")
    media = len({r["lane"] for r in dom.rects if r.get("data-kind") == "link"})
    check(media == len(e.media_changed), f"{name}: a lane for each of the {len(e.media_changed)} media that changed")

    bins = check_bins(name + ", whole run", e, dom, 0, e_end(page))
    if full_speed:
        check(sum(float(m["data-n"]) for m in bins if m["data-kind"] == "packets") == e.packets > 0,
              f"{name}: bins hold the {e.packets} bulk packets")
    else:
        check(not any(m["data-kind"] == "packets" for m in bins), f"{name}: no packets lane under the frame timing")

    # The legend names every look drawn, each in the colour it is drawn in.
    drawn = {(m["data-kind"] + " " + m["data-cls"]) for m in marks}
    if any("inferred" in r.get("class", "").split() for r in dom.rects if r["lane"] is not None):
        drawn.add("inferred")
    if dom.lines:
        drawn.add("bytes line")
    check(drawn == set(dom.legend), f"{name}: the legend names what is drawn "
                                    f"(unnamed {sorted(drawn - set(dom.legend))}, not drawn {sorted(set(dom.legend) - drawn)})")
    wrong = [(m["data-kind"], m["data-cls"], m["data-fill"], dom.legend.get(m["data-kind"] + " " + m["data-cls"], {}).get("data-fill"))
             for m in marks if "data-fill" in m
             and m["data-fill"] != dom.legend.get(m["data-kind"] + " " + m["data-cls"], {}).get("data-fill")]
    check(not wrong and any("data-fill" in m for m in marks), f"{name}: legend swatches in the marks' colours ({wrong[:2]})")
    # Problems stand out: from each other and from every success.
    fills = {k: a.get("data-fill") for k, a in dom.legend.items()}
    problems = [k for k in ("ping not-sent", "fault armed", "fault fired", "violation violation") if k in fills]
    successes = [k for k in fills if k in ("ping reply", "link up", "phy_link up", "indication connect", "request ok")
                 or k.startswith("media carrier")]
    close = [(a, b) for i, a in enumerate(problems) for b in problems[i + 1:] + successes
             if distance(fills[a], fills[b]) < 80]
    check(not close, f"{name}: {problems} each in a colour of its own, apart from {len(successes)} success looks ({close})")

    # Hover text: the record behind every ping mark, as the trace has it.
    titles = {json.dumps(l, separators=(",", ":")) for l in e.lines if l["ev"] == "ping"}
    page_text = open(page).read()
    missing = [t for t in titles if t.replace('"', "&quot;") not in page_text]
    check(not missing, f"{name}: every ping's record is behind its mark ({missing[:1]})")
    return e, dom


def e_end(page):
    with open(page) as f:
        text = f.read()
    at = text.index('data-end="') + len('data-end="')
    return int(text[at:text.index('"', at)])


def check_zoom(name, page, trace, profile, v0, v1):
    """Opened on [v0, v1): bins at the width that view calls for, holding what the trace has in
    it, and every interval mark where the axis puts its time."""
    e = Expected(trace)
    out, _ = browse(profile, "file://" + page + "#us=%d-%d" % (v0, v1), "--dump-dom")
    zoomed = Dom()
    zoomed.feed(out)
    check(zoomed.root.get("data-errors") == "0", f"{name}: no script error when zoomed")
    check_bins(name, e, zoomed, v0, v1)
    svg_left, svg_width = 250.0, 1130.0
    wrong = []
    for r in zoomed.rects:
        if "mark" in r.get("class", "").split() and "data-t1" in r and "bin" not in r["class"].split():
            want = svg_left + (int(r["data-t0"]) - v0) * svg_width / (v1 - v0)
            if abs(float(r["x"]) - want) > 0.01:
                wrong.append((r["data-t0"], r["x"], want))
    check(not wrong, f"{name}: marks laid out on the new axis ({wrong[:2]})")
    return zoomed


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
        _, full = check_page("default story", page, trace, profile)

        # A zoom refines the bins: the whole run, then 4 s to 8 s, then 300 ms of the burst.
        whole = int(full.root.get("data-bin", 0))
        zoomed = check_zoom("zoomed to 4-8 s", page, trace, profile, 4000000, 8000000)
        burst = [l["t_us"] for l in Expected(trace).lines if l["ev"] == "wire"]
        start = burst[len(burst) // 2] // 100000 * 100000
        narrow = check_zoom("zoomed to 300 ms", page, trace, profile, start, start + 300000)
        widths = [whole, int(zoomed.root.get("data-bin", 0)), int(narrow.root.get("data-bin", 0))]
        check(widths[0] > widths[1] > widths[2], f"each zoom narrows the bins: {widths} us")

        # The screenshot, kept as the CI artefact.
        if os.path.exists(SHOT):
            os.remove(SHOT)
        browse(profile, "file://" + page, "--screenshot=" + SHOT, "--window-size=1600,1400",
               "--hide-scrollbars")
        ok = os.path.exists(SHOT)
        if ok:
            with open(SHOT, "rb") as f:
                head = f.read(24)
            ok = head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", head[16:24]) == (1600, 1400)
        check(ok, f"screenshot of the default story's page: {SHOT}")

        # Faults fired, a stalled and a late request, echoes into a medium that is down, a query,
        # on the full-speed bus: drawn from the trace by `nicsim report`.
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
                                  # The last echo's frame fails on the bus: it is not sent.
                                  {"at": 4.5, "do": "fault", "adapter": "A", "fault": "bulk-out-error"},
                                  {"at": 5.5, "do": "traffic", "adapter": "A", "frames": 300, "size": 1500,
                                   "interval": 0.001},
                                  {"at": 6.5, "do": "query", "adapter": "A", "oid": "OID_GEN_LINK_SPEED",
                                   "length": 4},
                                  {"at": 7, "do": "link", "link": "eth0", "up": False},
                                  {"at": 9, "do": "link", "link": "eth0", "up": True},
                                  {"at": 11, "do": "halt", "adapter": "A"}]}, f)
        trace2, page2 = os.path.join(scratch, "faults.jsonl"), os.path.join(scratch, "faults.html")
        run = subprocess.run([NICSIM, "run", "--quiet", scenario, "--usb-timing", "full-speed", "--trace", trace2])
        check(run.returncode in (0, 1), "faults: nicsim run exits")
        rep = subprocess.run([NICSIM, "report", trace2, "-o", page2])
        check(rep.returncode == 0, "faults: nicsim report exits 0")
        e = Expected(trace2)
        check(e.looks["fault", "fired"] >= 4 and e.looks["fault", "armed"] == 3 and e.looks["ping", "not-sent"] == 1,
              f"faults: the trace has faults armed and fired and echoes not sent ({dict(e.looks)})")
        check_page("faults, full speed", page2, trace2, profile, full_speed=True)

        # This driver completes each send within its MiniportSend call and answers every query and
        # set at once, so its traces have latencies of 0. The same trace with some completions
        # later (every fifth packet, by 1 to 7 ms) and its query pended for 25 ms is what a slower
        # driver's would be: the page must pair each completion with its send and draw the query
        # from its call.
        with open(trace2) as f:
            lines = [json.loads(l) for l in f]
        for l in lines:
            if l["ev"] == "send_complete" and l["packet"] % 5 == 0:
                l["t_us"] += (l["packet"] % 7 + 1) * 1000
            if l["ev"] == "miniport" and l["call"] in ("MiniportQueryInformation", "MiniportSetInformation"):
                l["called_us"] -= 25000
                l["pended"] = True
        lines.sort(key=lambda l: l["t_us"])
        trace4, page4 = os.path.join(scratch, "late.jsonl"), os.path.join(scratch, "late.html")
        with open(trace4, "w") as f:
            f.writelines(json.dumps(l, separators=(",", ":")) + "\n" for l in lines)
        rep = subprocess.run([NICSIM, "report", trace4, "-o", page4])
        check(rep.returncode == 0, "sends completed late: nicsim report exits 0")
        e = Expected(trace4)
        check(max(v for _, v in e.latency["A"]) == 7000 and len(e.requests) == 1,
              "sends completed late: the trace has sends that waited up to 7 ms and a pended query")
        check_page("sends completed late", page4, trace4, profile, full_speed=True)
        check_zoom("sends completed late, 5.5-5.6 s", page4, trace4, profile, 5500000, 5600000)

        # The two-adapter story on four processors: processor lanes, and how long the page takes.
        trace3, page3 = os.path.join(scratch, "two.jsonl"), os.path.join(scratch, "two.html")
        run = subprocess.run([NICSIM, "run", "two_adapters", "--cpus", "4", "--quiet", "--trace-data", "none",
                              "--trace", trace3, "--html", page3])
        check(run.returncode == 0, "two adapters, 4 processors: nicsim run --html exits 0")
        check_page("two adapters, 4 processors", page3, trace3, profile)
    print(f"report: {failures} failed" if failures else "report: all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
