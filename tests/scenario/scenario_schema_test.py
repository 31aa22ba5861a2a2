"""docs/scenario.schema.json against nicsim's own loader.

Every embedded scenario and a run of generated ones (as `nicsim show` prints them) must be valid
under the schema, and each
document below must get the same answer from the schema and from `nicsim check`: both accept it or
both refuse it. Run by CTest: scenario_schema_test.py NICSIM SCHEMA.
"""
import copy
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    sys.exit("python3-jsonschema is missing (scripts/test.sh installs it)")

nicsim, schema_path = sys.argv[1], sys.argv[2]
with open(schema_path) as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
failures = []


def run(*args):
    return subprocess.run([nicsim, *args], capture_output=True, text=True)


names = [line.split()[0] for line in run("scenarios").stdout.splitlines() if line.strip()]
if "default" not in names:
    failures.append(f"`nicsim scenarios` does not list the default scenario: {names}")
embedded = {}
for name in names:
    shown = run("show", name)
    embedded[name] = json.loads(shown.stdout)
    for error in validator.iter_errors(embedded[name]):
        failures.append(f"embedded {name}: {'/'.join(map(str, error.absolute_path))}: {error.message}")
for seed in range(1, 61):
    generated = json.loads(run("show", f"random:{seed}").stdout)
    for error in validator.iter_errors(generated):
        failures.append(f"random:{seed}: {'/'.join(map(str, error.absolute_path))}: {error.message}")


def variant(change):
    doc = copy.deepcopy(embedded["default"])
    change(doc)
    return doc


def event(doc, action):
    return next(e for e in doc["events"] if e["do"] == action)


# (what it shows, the document, whether it is a valid scenario)
cases = [
    ("$schema and _comment where a reader puts notes",
     variant(lambda d: (d.update({"$schema": "scenario.schema.json", "_comment": ["two", "lines"]}),
                        d["adapters"][0].update({"_comment": "the adapter"}),
                        d["adapters"][0]["registry"].update({"_comment": "keywords"}),
                        d["events"][0].update({"_comment": "first"}))), True),
    ("a key of another action", variant(lambda d: event(d, "reset").update({"frame": "00" * 14})), False),
    ("a key of another fault plan",
     variant(lambda d: d["events"].append({"at": 1, "do": "fault", "adapter": "A",
                                           "fault": "bulk-in-error", "ms": 5})), False),
    ("a late fault without its delay",
     variant(lambda d: d["events"].append({"at": 1, "do": "fault", "adapter": "A", "fault": "bulk-late"})), False),
    ("an unknown top-level key", variant(lambda d: d.update({"sede": 3})), False),
    ("a run beyond the longest", variant(lambda d: d.update({"duration_s": 10000001})), False),
    ("a frame shorter than an Ethernet header",
     variant(lambda d: d["events"].append({"at": 1, "do": "send", "adapter": "A", "frame": "ffff"})), False),
    ("more adapters than usbmon numbers",
     variant(lambda d: d.update({"adapters": [{"name": f"N{i}"} for i in range(126)], "links": [],
                                 "events": []})), False),
    ("125 adapters",
     variant(lambda d: d.update({"adapters": [{"name": f"N{i}"} for i in range(125)], "links": [],
                                 "events": []})), True),
]

with tempfile.TemporaryDirectory() as scratch:
    for what, doc, valid in cases:
        path = os.path.join(scratch, "case.json")
        with open(path, "w") as f:
            json.dump(doc, f)
        checked = run("check", path)
        if (checked.returncode == 0) != valid:
            failures.append(f"{what}: nicsim check exited {checked.returncode}: {checked.stdout}{checked.stderr}")
        if validator.is_valid(doc) != valid:
            failures.append(f"{what}: the schema {'refuses' if valid else 'accepts'} it")

for f in failures:
    print("FAILED:", f)
print(f"{len(embedded)} embedded scenarios and {len(cases)} cases checked; {len(failures)} failed")
sys.exit(1 if failures else 0)
