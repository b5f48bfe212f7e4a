#!/usr/bin/python3
"""Follow runs of the built tool (--follow) against a writer that appends
lines, rotates its log in every way a rotating writer does, and is killed
and restarted on the way.

Environment: ORVEL_TOOL (the built tool), MAKE_SCALE_LOG and SIGNED_LOG (the
generator of OpenSSL-signed lines and where it puts them). Arguments are
unittest's (a test's name runs that test alone).
"""

import gzip
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

TOOL = os.environ["ORVEL_TOOL"]
SIGNED_LOG = Path(os.environ["SIGNED_LOG"])
LINES_SIGNED = 3000


def signed_lines():
    """Lines tx/0/1/2/3/4/5/N for N = 1 to 3000, signed by OpenSSL."""
    subprocess.run([sys.executable, os.environ["MAKE_SCALE_LOG"], str(SIGNED_LOG),
                    str(LINES_SIGNED)], check=True, stdout=subprocess.DEVNULL)
    return SIGNED_LOG.read_text().splitlines(keepends=True)


LINES = signed_lines()


def line(n):
    return LINES[n - 1]


def forged(n):
    """Line n with a signature that does not verify."""
    key, data, sig = line(n).rstrip("\n").split(",")
    return "%s,%s,%s\n" % (key, data, ("0" if sig[0] != "0" else "1") + sig[1:])


def number_of(record):
    """The sequence number of a result-log record of a line."""
    return int(record.split(",")[0].split("/")[7])


class FollowRun:
    """The tool following a log in dir, its JSON events read as they come."""

    count = 0

    def __init__(self, directory, *args):
        self.events = []
        self.times = []
        self.lock = threading.Condition()
        # What the run tells a service manager (READY=1, STATUS=...).
        FollowRun.count += 1
        notify_path = os.path.join(directory, "notify-%d" % FollowRun.count)
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(notify_path)
        self.notified = []
        environment = dict(os.environ, NOTIFY_SOCKET=notify_path)
        self.process = subprocess.Popen(
            [TOOL, "--json", "--follow", "--gap-wait=1", *args], cwd=directory, env=environment,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        threading.Thread(target=self._hear, daemon=True).start()

    def _hear(self):
        while True:
            try:
                message = self.notify.recv(4096).decode()
            except OSError:
                return
            with self.lock:
                self.notified.extend(message.split("\n"))

    def following(self):
        """Whether the run has said that it reached the followed file's end."""
        with self.lock:
            statuses = [text for text in self.notified if text.startswith("STATUS=")]
            return bool(statuses) and statuses[-1].startswith("STATUS=following")

    def _read(self):
        for text in self.process.stdout:
            with self.lock:
                self.events.append(json.loads(text))
                self.times.append(time.monotonic())
                self.lock.notify_all()

    def wait_for(self, test, timeout=30):
        """The first event that passes test, waiting for it."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                for event in self.events:
                    if test(event):
                        return event
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no such event in %s" % self.events)
                self.lock.wait(left)

    def wait_rotations(self, count, timeout=30):
        """Waits until count rotations were said."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while len(self.of("rotation")) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("not %d rotations in %s" % (count, self.events))
                self.lock.wait(left)

    def of(self, kind):
        with self.lock:
            return [event for event in self.events if event.get("event") == kind]

    def stop(self, signal_number=signal.SIGTERM):
        """Sends the signal; the exit status, the end document and standard error."""
        self.process.send_signal(signal_number)
        status = self.process.wait(timeout=60)
        self.reader.join(timeout=10)
        ends = self.of("end")
        return status, (ends[0] if ends else None), self.process.stderr.read()


class Writer:
    """Appends lines to the log dir/tx.log and rotates it."""

    def __init__(self, directory):
        self.dir = Path(directory)
        self.live = self.dir / "tx.log"
        self.live.touch()

    def append(self, text):
        with open(self.live, "a") as log:
            log.write(text)
            log.flush()

    def shift(self):
        """Numbered files up by one, as a rotating writer renames them."""
        numbered = []
        for path in self.dir.iterdir():
            parts = path.name.split(".", 3)
            if path.name.startswith("tx.log.") and parts[2].isdigit():
                suffix = "." + parts[3] if len(parts) == 4 else ""
                numbered.append((int(parts[2]), suffix, path))
        for number, suffix, path in sorted(numbered, reverse=True):
            path.rename(self.dir / ("tx.log.%d%s" % (number + 1, suffix)))

    def rename(self, compress=False):
        self.shift()
        self.live.rename(self.dir / "tx.log.1")
        self.live.touch()
        if compress:
            rotated = self.dir / "tx.log.1"
            with open(rotated, "rb") as plain, gzip.open(str(rotated) + ".gz", "wb") as packed:
                shutil.copyfileobj(plain, packed)
            rotated.unlink()

    def copytruncate(self):
        self.shift()
        shutil.copyfile(self.live, self.dir / "tx.log.1")
        os.truncate(self.live, 0)

    def delete_all(self):
        """The log and every rotated file deleted, the log made anew."""
        for path in self.dir.glob("tx.log*"):
            path.unlink()
        self.live.touch()


def records(directory):
    return (Path(directory) / "out.log").read_text().splitlines()


class FollowTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="follow-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.writer = Writer(self.dir)

    def test_a_line_is_judged_once_its_line_end_arrives(self):
        self.writer.append(line(1) + line(2))
        run = FollowRun(self.dir, "--result-log=out.log", "tx.log")
        half = len(line(3)) // 2
        self.writer.append(line(3)[:half])
        time.sleep(1.5)
        self.writer.append(line(3)[half:] + forged(4))
        problem = run.wait_for(lambda event: event.get("event") == "problem")
        # Half a line judged would be a line of its own in error.
        self.assertEqual((problem["line"], problem["kind"]), (4, "signature"))
        # A half-written line when the run ends is left for the next run.
        self.writer.append(line(5)[:half])
        time.sleep(0.5)
        status, end, errors = run.stop()
        self.assertEqual((status, errors), (154, ""))
        self.assertEqual((end["lines"]["read"], end["lines"]["ok"]), (4, 3))
        self.assertEqual([number_of(r) for r in records(self.dir)], [1, 2, 3, 4])
        self.assertEqual(len(run.of("problem")), 1)

    def test_every_kind_of_rotation_keeps_every_line_once(self):
        run = FollowRun(self.dir, "--result-log=out.log", "tx.log")
        numbers = iter(range(1, 61))

        def write_ten():
            self.writer.append("".join(line(next(numbers)) for _ in range(10)))

        # Each rotation once the run has read the log (a file deleted or cut
        # back before that is lost to any reader) and seen the rotation
        # before.
        rotations = (self.writer.rename, self.writer.copytruncate, self.writer.delete_all,
                     lambda: self.writer.rename(compress=True))
        for done, rotate in enumerate(rotations):
            write_ten()
            run.wait_rotations(done)
            wait_until_read(run, self.writer.live)
            rotate()
        write_ten()
        # A number lost would be a gap, said within a second of the wait.
        time.sleep(3)
        write_ten()
        time.sleep(1)
        status, end, errors = run.stop(signal.SIGHUP)
        self.assertEqual((status, errors), (0, ""), end)
        self.assertEqual((end["lines"]["checked"], end["lines"]["ok"]), (60, 60))
        self.assertEqual(end["sequence"]["missing"], [])
        self.assertEqual(sorted(number_of(r) for r in records(self.dir)), list(range(1, 61)))
        rotations = [(event["how"], event["copy"]) for event in run.of("rotation")]
        self.assertEqual(rotations, [("moved", None), ("truncated", "tx.log.1"), ("moved", None),
                                     ("moved", None)])
        self.assertEqual(run.of("missing"), [])

    def test_a_gap_is_said_once_it_stays_open(self):
        run = FollowRun(self.dir, "--result-log=out.log", "--gap-wait=2", "tx.log")
        self.writer.append(line(1) + line(2) + line(5))
        # Late, not lost: no alarm.
        time.sleep(0.5)
        self.writer.append(line(3))
        missing = run.wait_for(lambda event: event.get("event") == "missing")
        self.assertEqual((missing["first"], missing["last"]), (4, 4))
        status, end, _ = run.stop(signal.SIGINT)
        self.assertEqual(status, 154)
        self.assertEqual(end["sequence"]["missing"], [[4, 4]])
        self.assertEqual(len(run.of("missing")), 1)

    def test_the_metrics_say_what_the_end_document_says(self):
        metrics = Path(self.dir) / "m.prom"
        run = FollowRun(self.dir, "--result-log=out.log", "--metrics=m.prom", "tx.log")
        self.writer.append(line(1) + line(2) + forged(3) + line(5))
        run.wait_for(lambda event: event.get("event") == "missing")
        # Replaced every few seconds while the run follows.
        deadline = time.monotonic() + 15
        while samples_of(metrics).get(("lines_checked_total", None)) != 4:
            self.assertLess(time.monotonic(), deadline, metrics.read_text())
            time.sleep(0.1)
        self.assertEqual(samples_of(metrics)[("following", None)], 1)
        status, end, _ = run.stop()
        self.assertEqual(status, 154)
        final = samples_of(metrics)
        self.assertEqual(final[("lines_checked_total", None)], end["lines"]["checked"])
        self.assertEqual(final[("lines_ok_total", None)], end["lines"]["ok"])
        kinds = {kind for name, kind in final if name == "line_errors_total"}
        self.assertIn("signature", kinds)
        for kind in kinds:
            self.assertEqual(final[("line_errors_total", kind)], end["errors"][kind], kind)
        self.assertEqual(final[("missing_sequence_numbers", None)],
                         end["errors"]["missing_sequence"])
        self.assertEqual(final[("sequence_number_max", None)], end["sequence"]["last"])
        self.assertEqual(final[("following", None)], 0)
        self.assertGreater(final[("last_line_read_timestamp_seconds", None)], 0)
        self.assertGreaterEqual(final[("last_update_timestamp_seconds", None)],
                                final[("last_line_read_timestamp_seconds", None)])


def samples_of(path):
    """The samples of a metrics file, read by Prometheus' own parser: (name
    without the tool's prefix, kind label) to value, for the log tx.log."""
    from prometheus_client.parser import text_string_to_metric_families
    samples = {}
    text = path.read_text() if path.exists() else ""
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            assert sample.labels["log"] == "tx.log", sample
            name = sample.name.removeprefix("tamberlo_orvel_verify_")
            samples[(name, sample.labels.get("kind"))] = int(sample.value)
    return samples


def read_offset(pid, path):
    """How far process pid has read the file at path (None: not open)."""
    try:
        wanted = os.stat(path)
    except OSError:
        return None
    for fd in Path("/proc/%d/fd" % pid).iterdir():
        try:
            status = os.stat(fd)
            if (status.st_dev, status.st_ino) == (wanted.st_dev, wanted.st_ino):
                info = Path("/proc/%d/fdinfo/%s" % (pid, fd.name)).read_text()
                return int(info.split()[1])
        except OSError:
            continue
    return None


def saved_at(checkpoint):
    """When the checkpoint was last replaced (0: not yet)."""
    return checkpoint.stat().st_mtime_ns if checkpoint.exists() else 0


def wait_until_read(run, path, timeout=30):
    """Waits until the run has read the file at path to its end."""
    deadline = time.monotonic() + timeout
    while run.process.poll() is None and read_offset(run.process.pid, path) != path.stat().st_size:
        if time.monotonic() > deadline:
            raise AssertionError("%s not read in %d s" % (path, timeout))
        time.sleep(0.02)
    if run.process.poll() is not None:
        raise AssertionError("the run ended: %s %s" % (run.process.stderr.read(), run.events[-3:]))


def wait_until_caught_up(run, writer, timeout=60):
    """Waits until the run follows the log and has read all of it (and so
    every file before it)."""
    deadline = time.monotonic() + timeout

    def caught_up():
        return run.following() and read_offset(
            run.process.pid, writer.live) == writer.live.stat().st_size

    # Twice, a little apart: the status of a run that has just left the
    # file it followed may not have arrived yet.
    while not (caught_up() and time.sleep(0.05) is None and caught_up()):
        if run.process.poll() is not None or time.monotonic() > deadline:
            raise AssertionError("the run did not catch up: %s %s" % (
                run.process.poll(), run.events[-3:]))
        time.sleep(0.01)


class TortureTest(unittest.TestCase):
    """A writer that rotates at random, a follow run killed on the way."""

    ROTATIONS = 240
    KILLS = 6

    def test_rotations_and_kills_lose_no_line_and_count_each_once(self):
        directory = tempfile.mkdtemp(prefix="torture-")
        self.addCleanup(shutil.rmtree, directory)
        writer = Writer(directory)
        random_source = random.Random(20261208)
        args = ("--checkpoint=checkpoint", "--checkpoint-every=1", "--result-log=out.log",
                "--rotated=tx.log")
        run = FollowRun(directory, *args)
        runs = [run]
        checkpoint = Path(directory) / "checkpoint"
        kill_at = set(random_source.sample(range(10, self.ROTATIONS - 10), self.KILLS))
        written = 0
        kinds = {"rename": 0, "compress": 0, "copytruncate": 0, "delete": 0}
        # What happened to each number: the rotation after its write, and
        # whether a run was following then (for a failure's message).
        story = []
        for rotation in range(self.ROTATIONS):
            count = random_source.randint(0, 12)
            writer.append("".join(line(written + i + 1) for i in range(count)))
            written += count
            time.sleep(random_source.uniform(0, 0.03))
            kind = random_source.choices(list(kinds), weights=(45, 25, 15, 15))[0]
            # A running follower must have read a file before it is deleted,
            # and have reached the log before it is cut back (what it had
            # not read of it then is read from the copy; a log cut back
            # before the follower opened it is a new log to it). A stopped
            # follower goes on from its checkpoint, copies included.
            if kind == "delete" and run is None:
                kind = "rename"
            if kind in ("copytruncate", "delete") and run is not None:
                try:
                    wait_until_caught_up(run, writer)
                except AssertionError as failure:
                    ended = run.process.poll() is not None
                    self.fail("%s; standard error: %r; rotations (written, kind, followed, "
                              "killed): %s" % (failure, run.process.stderr.read() if ended
                                               else "", story[-12:]))
            if kind == "delete" and rotation in kill_at:
                kind = "rename"
            kinds[kind] += 1
            story.append((written, kind, run is not None, rotation in kill_at))
            if kind == "delete":
                writer.delete_all()
                # A checkpoint whose last log is gone cannot go on: the run
                # saves one once it has left the deleted log for the new
                # one. A save before that (the periodic one) still ends
                # with the deleted log.
                deadline = time.monotonic() + 30
                while read_offset(run.process.pid, writer.live) is None:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.01)
                saved = saved_at(checkpoint)
                while saved_at(checkpoint) == saved:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.01)
            elif kind == "copytruncate":
                writer.copytruncate()
            else:
                writer.rename(compress=kind == "compress")
            if rotation in kill_at:
                run.process.kill()
                run.process.wait()
                run = None
            elif run is None:
                run = FollowRun(directory, *args)
                runs.append(run)
        if run is None:
            run = FollowRun(directory, *args)
            runs.append(run)
        written_lines = written
        wait_until_read(run, writer.live, timeout=120)
        time.sleep(1.5)
        status, end, errors = run.stop()
        self.assertGreaterEqual(sum(kinds.values()), 200)
        self.assertTrue(all(kinds.values()), kinds)
        # Every number recorded once, and no run said a number was missing.
        numbers = sorted(number_of(r) for r in records(directory)
                         if not r.endswith("MISSING SEQUENCE"))
        if numbers != list(range(1, written_lines + 1)):
            lost = sorted(set(range(1, written_lines + 1)) - set(numbers))
            twice = sorted(n for n in set(numbers) if numbers.count(n) > 1)
            wrong = lost + twice
            around = [s for s in story if min(wrong) - 30 <= s[0] <= max(wrong) + 30]
            self.fail("lost %s, twice %s; rotations (written, kind, followed, killed): %s" %
                      (lost[:40], twice[:40], around))
        self.assertEqual((status, errors), (0, ""), (end, kinds))
        self.assertEqual(len(runs), self.KILLS + 1)
        for each in runs:
            self.assertEqual(each.of("missing"), [])
        self.assertEqual(end["lines"]["checked"], written_lines)
        self.assertEqual(end["sequence"]["missing"], [])
        # The counts of one batch run over all the lines.
        whole = Path(directory) / "whole.log"
        whole.write_text("".join(LINES[:written_lines]))
        batch = json.loads(subprocess.run(
            [TOOL, "--json", "--result-log=batch.out", "whole.log"], cwd=directory,
            stdout=subprocess.PIPE, check=True, text=True).stdout)
        for part in ("lines", "errors"):
            self.assertEqual(end[part], batch[part], part)
        self.assertEqual(end["sequence"], batch["sequence"])


if __name__ == "__main__":
    unittest.main()
