#!/usr/bin/python3
"""Totals the JSON documents of many runs of tamberlo_orvel_verify --json.

    python3 examples/total_json.py results/*.json

Prints each run that failed and one line of totals; exits 1 when any run
failed.
"""
import json, sys

runs = failed = lines = errors = 0
for path in sys.argv[1:]:
    with open(path, encoding="ascii") as f:
        document = json.load(f)
    runs += 1
    failed += document["exit_code"] != 0
    lines += document["lines"]["checked"]
    errors += sum(document["errors"].values())
    if document["exit_code"] != 0:
        print(f"{path}: exit {document['exit_code']}, error {document['error']}")
print(f"{runs} runs, {failed} failed, {lines} lines checked, {errors} errors")
sys.exit(1 if failed else 0)
