#!/usr/bin/env python3
"""A long fuzz campaign over every matrix entry point of _corvane_if and the corvane builders.

Calls come from tests/python/fuzzcases.py: call number i of seed S is the same on every run. They
run in batches, each in a child interpreter watched by this one, so that a call that crashes the
interpreter or never returns is counted and the campaign goes on after it. The last line is

fuzz: N calls, C crashes, S sanitizer reports, W writes outside output, H hangs, F false successes

followed by a line with the other failed checks; the exit status is 1 when any count but N is
above zero. Every failing call is listed with the command that replays it alone.

    python tools/fuzz_campaign.py --calls 100000          # a new seed, printed at the start
    python tools/fuzz_campaign.py --seed 7 --replay 1234  # call 1234 of seed 7, in this process

Against a sanitizer build, preload its runtime and put its module first on PYTHONPATH; the
children's standard error is scanned for AddressSanitizer and UndefinedBehaviorSanitizer reports.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"
SANITIZER_REPORT = re.compile(r"==\d+==ERROR: \w+Sanitizer|: runtime error: ")
COUNTS = ("W", "F", "U", "E")


def call_of(seed: int, index: int, thread_limit: int):
    import fuzzcases

    draw = fuzzcases.RandomDraw(random.Random(f"{seed}:{index}"))
    draw.thread_limit = thread_limit
    return fuzzcases.make_call(draw)


def worker(seed: int, start: int, stop: int, thread_limit: int, progress: str) -> None:
    """Runs calls start .. stop - 1, writing to `progress` a line before each call and its
    outcome after it. A line that reaches the process's own stdout (a file) is a failed check."""
    import fuzzcases

    with open(progress, "a", buffering=1) as report:
        for index in range(start, stop):
            report.write(f"start {index}\n")
            call = call_of(seed, index, thread_limit)
            written = os.fstat(1).st_size
            result, problems = fuzzcases.run_call(call)
            if os.fstat(1).st_size != written:
                problems.append(("U", "text reached the process's stdout instead of sys.stdout"))
            report.write("done " + json.dumps([index, result, problems, call.describe()[:300]])
                         + "\n")


class Campaign:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.counts = dict.fromkeys(("C", "S", "H") + COUNTS, 0)
        self.results: dict[str, int] = {}
        self.calls = 0
        self.failures: list[tuple[int, str]] = []

    def fail(self, index: int, what: str) -> None:
        self.failures.append((index, what))
        if len(self.failures) <= self.args.show:
            print(f"call {index}: {what}\n  replay: python tools/fuzz_campaign.py --seed "
                  f"{self.args.seed} --replay {index}", flush=True)

    def batch(self, start: int, stop: int) -> int:
        """Runs calls from start until stop or until one crashes or hangs; returns the next call
        to run."""
        with tempfile.TemporaryDirectory() as folder:
            progress, out, err = (os.path.join(folder, name) for name in ("progress", "out", "err"))
            command = [sys.executable, __file__, "--worker", "--seed", str(self.args.seed),
                       "--start", str(start), "--stop", str(stop), "--thread-limit",
                       str(self.args.thread_limit), "--progress", progress]
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(
                [os.environ.get("PYTHONPATH", ""), str(TESTS)]).strip(os.pathsep))
            with open(out, "wb") as stdout, open(err, "wb") as stderr:
                child = subprocess.Popen(command, stdout=stdout, stderr=stderr, env=env,
                                         start_new_session=True)
                hung, seen, last_change = False, 0, time.monotonic()
                while child.poll() is None:
                    time.sleep(0.05)
                    size = os.path.getsize(progress) if os.path.exists(progress) else 0
                    if size != seen:
                        seen, last_change = size, time.monotonic()
                    elif time.monotonic() - last_change > self.args.timeout:
                        os.killpg(child.pid, signal.SIGKILL)
                        child.wait()
                        hung = True
            started, next_call = None, stop
            if os.path.exists(progress):
                with open(progress) as lines:
                    for line in lines:
                        kind, _, rest = line.partition(" ")
                        if kind == "start":
                            started = int(rest)
                        elif kind == "done" and line.endswith("\n"):
                            self.record(*json.loads(rest))
                            started = None
            with open(err, errors="replace") as text:
                reports = [line for line in text if SANITIZER_REPORT.search(line)]
            self.counts["S"] += len(reports)
            if started is not None:
                self.calls += 1
                next_call = started + 1
                if hung:
                    self.counts["H"] += 1
                    self.fail(started, f"no answer within {self.args.timeout} s")
                elif reports:
                    self.fail(started, f"sanitizer: {reports[0].strip()}")
                else:
                    self.counts["C"] += 1
                    self.fail(started, f"the interpreter ended with status {child.returncode}")
            elif reports:
                self.fail(stop - 1, f"sanitizer report in calls {start} .. {stop - 1}: "
                                    f"{reports[0].strip()}")
            return next_call

    def record(self, index: int, result: str, problems: list, description: str) -> None:
        self.calls += 1
        self.results[result] = self.results.get(result, 0) + 1
        for category in {category for category, _ in problems}:
            self.counts[category] += 1
        if problems:
            self.fail(index, f"{description}\n  -> " + "; ".join(
                f"{category}: {what}" for category, what in problems))

    def run(self) -> int:
        print(f"fuzz: seed {self.args.seed}, {self.args.calls} calls", flush=True)
        begin, index = time.monotonic(), 0
        while index < self.args.calls:
            index = self.batch(index, min(index + self.args.batch, self.args.calls))
        c = self.counts
        print(f"results: {dict(sorted(self.results.items()))}; "
              f"{time.monotonic() - begin:.0f} s")
        print(f"fuzz: {self.calls} calls, {c['C']} crashes, {c['S']} sanitizer reports, "
              f"{c['W']} writes outside output, {c['H']} hangs, {c['F']} false successes")
        print(f"fuzz: {c['U']} failures without zeros or a reason, {c['E']} unexpected "
              f"exceptions")
        return int(any(c[k] for k in c))


def replay(args: argparse.Namespace) -> int:
    sys.path.insert(0, str(TESTS))
    import fuzzcases

    call = call_of(args.seed, args.replay, args.thread_limit)
    print(call.describe())
    result, problems = fuzzcases.run_call(call)
    print(f"result: {result}")
    for category, what in problems:
        print(f"{category}: {what}")
    return int(bool(problems))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100000)
    parser.add_argument("--seed", type=int, default=None,
                        help="calls to make (default: a new seed, printed)")
    parser.add_argument("--batch", type=int, default=2000, help="calls per child interpreter")
    parser.add_argument("--timeout", type=float, default=60.0,
                        help="seconds without an answer after which a call counts as hung")
    parser.add_argument("--thread-limit", type=int, default=2**31 - 1,
                        help="largest thread count a call asks for")
    parser.add_argument("--show", type=int, default=20, help="failing calls to list")
    parser.add_argument("--replay", type=int, default=None, help="run this call alone")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--start", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--stop", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--progress", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(2**32)
    if args.worker:
        worker(args.seed, args.start, args.stop, args.thread_limit, args.progress)
        return 0
    if args.replay is not None:
        return replay(args)
    return Campaign(args).run()


if __name__ == "__main__":
    sys.exit(main())
