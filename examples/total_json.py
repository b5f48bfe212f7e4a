#!/usr/bin/python3
"""Totals the JSON documents of many runs of tamberlo_orvel_verify --json.

    python3 examples/total_json.py results/*.json

Prints each run that failed, by the name of its document, and one line of
totals; exits 1 when any run failed. A document that is missing, empty or
not one that the tool writes (a run that could not start, a disk that ran
full, a task that never ran) counts as a failed run too: a run that left
no word is never taken for a sound log.
"""
import json
import sys


def load(path):
    """The document at path and None, or None and why it is none."""
    try:
        with open(path, encoding="ascii") as f:
            text = f.read()
    except OSError as e:
        return None, f"no document ({e.strerror or e})"
    except UnicodeDecodeError:
        return None, "not a document of the tool (not ASCII)"
    if not text.strip():
        return None, "empty document (the run printed nothing)"
    try:
        document = json.loads(text)
    except ValueError as e:
        return None, f"not a JSON document ({e})"
    try:
        numbers = [document["exit_code"], document["lines"]["checked"],
                   *document["errors"].values()]
    except (TypeError, KeyError, AttributeError):
        return None, "not a document of the tool (keys missing)"
    if not all(isinstance(n, int) and not isinstance(n, bool) for n in numbers):
        return None, "not a document of the tool (numbers missing)"
    return document, None


def main(paths):
    runs = failed = lines = errors = 0
    for path in paths:
        runs += 1
        document, problem = load(path)
        if document is None:
            failed += 1
            print(f"{path}: {problem}")
            continue
        lines += document["lines"]["checked"]
        errors += sum(document["errors"].values())
        if document["exit_code"] != 0:
            failed += 1
            error = document.get("error")
            why = f", {error.get('kind')}: {error.get('message')}" if isinstance(error, dict) else ""
            print(f"{path}: exit {document['exit_code']}, "
                  f"{sum(document['errors'].values())} errors{why}")
    print(f"{runs} runs, {failed} failed, {lines} lines checked, {errors} errors")
    return 1 if failed or not runs else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
