#!/usr/bin/env python3
"""Parses a JUnit XML report with a real XML parser and prints what a CI system would read from
it, as JSON: the totals, the properties and every testcase with its failure. Exit status 1 when
the file is not well-formed XML."""
import json
import sys
import xml.etree.ElementTree as ET

try:
    root = ET.parse(sys.argv[1]).getroot()
except ET.ParseError as e:
    print(f"not well-formed: {e}", file=sys.stderr)
    sys.exit(1)
suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
out = {"root": root.tag, "errors": int(root.get("errors", "0")), "suites": []}
for s in suites:
    cases = []
    for c in s.findall("testcase"):
        failures = [{"type": f.get("type"), "message": f.get("message"), "text": f.text or ""}
                    for f in c.findall("failure")]
        errors = [{"type": e.get("type"), "message": e.get("message"), "text": e.text or ""}
                  for e in c.findall("error")]
        skipped = [k.get("message") for k in c.findall("skipped")]
        cases.append({"classname": c.get("classname"), "name": c.get("name"), "failures": failures,
                      "errors": errors, "skipped": skipped})
    out["suites"].append({
        "name": s.get("name"), "tests": int(s.get("tests")), "failures": int(s.get("failures")),
        "errors": int(s.get("errors")), "skipped": int(s.get("skipped", "0")),
        "properties": {p.get("name"): p.get("value") for p in s.findall("properties/property")},
        "cases": cases})
print(json.dumps(out))
