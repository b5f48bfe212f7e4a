#!/usr/bin/python3
"""How soon a followed log's bad line is reported (bench/follow_run).

Starts TOOL --quiet --follow on an empty log in WORK, waits a second, then
appends the lines of POOL (signed lines, cycled: without --strict a number
that comes again is no error) at RATE lines/s for DURATION s, one write
every 10 ms; once a second one line with the last hex digit of its
signature changed. A bad line's latency runs from the return of its write
to `LOG:N: signature does not verify` on the tool's stdout.

    /usr/bin/python3 bench/follow_latency.py TOOL POOL WORK [DURATION [RATE]]
"""

import math
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def main():
    tool, pool_path, work = (os.path.abspath(arg) for arg in sys.argv[1:4])
    duration = float(sys.argv[4]) if len(sys.argv) > 4 else 60.0
    rate = int(sys.argv[5]) if len(sys.argv) > 5 else 5000
    with open(pool_path, "rb") as pool_file:
        pool = pool_file.read().splitlines(keepends=True)
    log = os.path.join(work, "follow.log")
    open(log, "wb").close()
    proc = subprocess.Popen([tool, "--quiet", "--follow", f"--result-log={work}/out.log", log],
                            cwd=work, stdout=subprocess.PIPE)
    pattern = re.compile(rb"^" + re.escape(log.encode()) + rb":(\d+): signature does not verify$")
    seen, other = {}, []

    def read_stdout():
        for line in proc.stdout:
            now = time.monotonic()
            match = pattern.match(line.rstrip(b"\n"))
            if match:
                seen.setdefault(int(match.group(1)), now)
            else:
                other.append(line.decode(errors="replace").rstrip())

    reader = threading.Thread(target=read_stdout, daemon=True)
    reader.start()
    time.sleep(1.0)

    total = int(duration * rate)
    written, bad = 0, {}  # bad: line number -> time its write returned
    fd = os.open(log, os.O_WRONLY | os.O_APPEND)
    ticks_start = cpu_ticks(proc.pid)
    start = time.monotonic()
    while written < total:
        due = min(total, int((time.monotonic() - start) * rate) + 1)
        batch, bad_here = [], []
        for index in range(written, due):
            line = pool[index % len(pool)]
            number = index + 1
            # Once a second, a line further on each time, so that a number
            # lost to a bad line comes back within the next cycle of the pool.
            if number % rate == rate // 2 + (number // rate) % (rate // 2):
                digit = line[-2:-1]
                line = line[:-2] + (b"1" if digit == b"0" else b"0") + b"\n"
                bad_here.append(number)
            batch.append(line)
        os.write(fd, b"".join(batch))
        now = time.monotonic()
        for number in bad_here:
            bad[number] = now
        written = due
        time.sleep(0.01)
    end = time.monotonic()
    os.close(fd)

    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not all(n in seen for n in bad):
        time.sleep(0.05)
    ticks_end = cpu_ticks(proc.pid)
    problems_before_stop = len(other)
    proc.send_signal(signal.SIGTERM)
    status = proc.wait()
    reader.join(5)

    latencies = sorted(seen[n] - bad[n] for n in bad if n in seen)
    hz = os.sysconf("SC_CLK_TCK")
    print(f"written: {written} lines in {end - start:.2f} s, {written / (end - start):.0f} lines/s "
          f"(asked {rate}); {len(bad)} bad lines; log {os.path.getsize(log) / 1e6:.0f} MB")
    if latencies:
        p99 = latencies[max(0, math.ceil(0.99 * len(latencies)) - 1)]
        print(f"latency: count {len(latencies)} of {len(bad)}; median {statistics.median(latencies):.4f} s; "
              f"p99 {p99:.4f} s; max {latencies[-1]:.4f} s")
    else:
        print(f"latency: none of {len(bad)} bad lines was reported")
    cpu = (ticks_end - ticks_start) / hz
    print(f"tool CPU while written to: {cpu:.2f} s ({100 * cpu / (end - start):.1f}% of a core); "
          f"exit status {status}; other stdout lines before SIGTERM: {problems_before_stop}")
    after_stop = other[problems_before_stop:]
    print(f"tool after SIGTERM: {' '.join(t for t in after_stop if 'lines checked' in t)} "
          f"(+{sum('missing' in t for t in after_stop)} lines of missing numbers)")
    return 0 if latencies and status == 154 else 1


if __name__ == "__main__":
    sys.exit(main())
