#!/usr/bin/python3
"""Runs the README's recipe for many logs exactly as the README shows it.

    python3 tests/readme_recipe.py README TOOL

The code blocks after the markers <!-- recipe: many-logs/setup -->,
<!-- recipe: many-logs/xargs --> and <!-- recipe: many-logs/parallel -->
are run with bash, setup then one engine, in a scratch directory laid out
like a checkout after scripts/setup: build/tamberlo_orvel_verify is TOOL,
examples/ holds the repository's total_json.py and signers.pem, the two
sample logs and logs of its own (one sound, one compressed, one of a
signer outside signers.pem, one that cannot be read). The totals must be
right; then a document made empty, one made invalid and one missing must
each be reported by its name as a failed run, without a traceback. The
Slurm task script runs too, with the variables Slurm would set.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def blocks(readme):
    """The recipe's code blocks by name."""
    found = {}
    for match in re.finditer(r"<!-- recipe: many-logs/(\w+) -->\n```sh\n(.*?)```", readme, re.S):
        found[match.group(1)] = match.group(2)
    return found


def lay_out(root, repository, tool):
    """A checkout after scripts/setup, with logs to verify in examples/."""
    (root / "build").mkdir()
    os.symlink(tool, root / "build" / "tamberlo_orvel_verify")
    examples = root / "examples"
    examples.mkdir()
    for name in ["total_json.py", "signers.pem", "transactions.log", "events.log"]:
        shutil.copy(repository / "examples" / name, examples / name)
    sample = (repository / "examples" / "transactions.log").read_text()
    # A second sound log, the same one gzip-compressed, one whose lines a
    # key outside signers.pem signed, and one that cannot be read.
    (examples / "tx-b.log").write_text(sample)
    with open(examples / "tx-c.log", "wb") as compressed:
        subprocess.run(["gzip", "-c", "-n"], input=sample.encode(), check=True, stdout=compressed)
    # Lines 1 and 2 signed by a test key that signers.pem does not hold.
    keys = dict(line.split(" ", 1) for line in
                (repository / "tests" / "fixtures" / "keys.txt").read_text().splitlines() if line)
    signed = [line.split("\t") for line in
              (repository / "tests" / "fixtures" / "signed.txt").read_text().splitlines()]
    foreign = [f"{keys['rsa512'].strip()},{data},{sig}\n" for key, data, sig in signed
               if key == "rsa512" and data in ("tx/0/1/2/3/4/5/1", "tx/0/1/2/3/4/5/2")]
    (examples / "tx-d.log").write_text("".join(sorted(foreign)))
    (examples / "tx-e.log").mkdir()  # a directory: the run cannot read it
    return examples


def run(root, script):
    return subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=root,
                          capture_output=True, text=True, env=dict(os.environ, SHELL="/bin/bash"))


def main():
    readme, tool = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    repository = readme.parent
    recipe = blocks(readme.read_text())
    check(set(recipe) == {"setup", "xargs", "parallel"}, f"recipe blocks found: {sorted(recipe)}")
    if failures:
        return 1
    for engine in ["xargs", "parallel"]:
        with tempfile.TemporaryDirectory() as scratch:
            root = Path(scratch)
            lay_out(root, repository, tool)
            done = run(root, recipe["setup"] + recipe[engine])
            out = done.stdout
            print(f"== {engine}: exit {done.returncode}\n{out}{done.stderr}")
            results = root / "results"
            # transactions, tx-b, tx-c: 6 lines and 0 errors each; events:
            # 6 lines and 3 errors; tx-d: 2 untrusted lines whose numbers
            # never advance; tx-e: no line.
            check(done.returncode == 1, f"{engine}: exit {done.returncode}, not 1")
            check(out.endswith("6 runs, 3 failed, 26 lines checked, 6 errors\n"),
                  f"{engine}: totals")
            check("results/tx-d.log.json: exit 154, 3 errors\n" in out,
                  f"{engine}: the untrusted log's failure")
            check("results/events.log.json: exit 154, 3 errors\n" in out,
                  f"{engine}: the event log's failure")
            check("results/tx-e.log.json: exit 155, 0 errors, read_log: " in out,
                  f"{engine}: the unreadable log's failure")
            check("Traceback" not in done.stderr, f"{engine}: a traceback")
            for name in ["transactions.log", "tx-b.log", "tx-c.log"]:
                check((results / f"{name}.out").read_text().count(",OK\n") == 6,
                      f"{engine}: {name}'s result log")

            # Documents that a failed run left behind, or none at all.
            (results / "tx-b.log.json").write_text("")
            (results / "tx-c.log.json").write_text('{"version": 1, "lines":')
            (results / "transactions.log.json").unlink()
            total = subprocess.run(
                [sys.executable, str(root / "examples" / "total_json.py"),
                 *sorted(str(p) for p in results.glob("*.json")),
                 str(results / "transactions.log.json")],
                capture_output=True, text=True)
            print(total.stdout + total.stderr)
            check(total.returncode == 1, f"{engine}: total_json.py exit {total.returncode}")
            check(total.stderr == "", f"{engine}: total_json.py wrote to standard error")
            for name, why in [("tx-b.log.json", "empty document"),
                              ("tx-c.log.json", "not a JSON document"),
                              ("transactions.log.json", "no document")]:
                check(f"{results}/{name}: {why}" in total.stdout, f"{engine}: {name} named")
            check(total.stdout.endswith("6 runs, 6 failed, 8 lines checked, 6 errors\n"),
                  f"{engine}: totals with broken documents")
    check_slurm_task(repository, tool)
    print(f"{len(failures)} failed checks")
    return 1 if failures else 0


def check_slurm_task(repository, tool):
    """examples/verify_array.sbatch, as Slurm runs each task of the array."""
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch)
        examples = lay_out(root, repository, tool)
        (root / "logs.txt").write_text(f"{examples}/transactions.log\n"
                                       f"{examples}/tx-c.log {examples}/tx-b.log\n"
                                       f"{examples}/events.log\n")
        script = repository / "examples" / "verify_array.sbatch"
        statuses = []
        for task in (1, 2, 3):
            env = dict(os.environ, TOOL=str(tool), SIGNERS=str(examples / "signers.pem"),
                       SLURM_ARRAY_TASK_ID=str(task))
            statuses.append(subprocess.run(["bash", str(script), "logs.txt"], cwd=root,
                                           env=env).returncode)
        check(statuses == [0, 0, 154], f"slurm: task statuses {statuses}")
        total = subprocess.run([sys.executable, str(examples / "total_json.py"),
                                *sorted(str(p) for p in (root / "results").glob("*.json"))],
                               capture_output=True, text=True)
        print(total.stdout)
        # Task 2 is a rotated set of two copies of one log: 12 lines, a
        # repeated number is no error.
        check(total.stdout.endswith("3 runs, 1 failed, 24 lines checked, 3 errors\n"),
              "slurm: totals")


if __name__ == "__main__":
    sys.exit(main())
