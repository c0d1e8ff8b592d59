"""Runs the random cases of tests/fuzz for as long as asked, batch after batch
with a new seed each, printing invocations per second and every finding.

    .venv/bin/python scripts/fuzz.py                  until Ctrl-C
    .venv/bin/python scripts/fuzz.py --seconds 600
    .venv/bin/python scripts/fuzz.py --seed 41 --batches 1 --trace   replay one batch

A finding names its seed and the case; --trace prints each case before it
runs, so a batch that kills the process shows the case that did.
Under scripts/sanitize.sh's environment it runs against the checked build.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "fuzz"))
from fuzz_cases import Findings, live_objects, run_batch  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long (default: never)")
    parser.add_argument("--batches", type=int, default=None, help="stop after this many batches")
    parser.add_argument("--seed", type=int, default=1, help="seed of the first batch; each next one adds 1")
    parser.add_argument("--sorvel", type=int, default=200, help="sorvel cases per batch (each runs twice)")
    parser.add_argument("--tessik", type=int, default=50, help="tessik cases per batch")
    parser.add_argument("--calls", type=int, default=200, help="direct calls of sorvel functions and methods per batch")
    parser.add_argument("--every", type=float, default=10.0, help="seconds between progress lines")
    parser.add_argument("--trace", action="store_true", help="print each case before it runs")
    args = parser.parse_args()

    def trace(seed, index, case):
        print(f"seed {seed} case {index}: {case!r}", flush=True)

    started = last = time.monotonic()
    invocations = batches = reported = 0
    findings = Findings()
    baseline = None
    seed = args.seed
    try:
        while (args.batches is None or batches < args.batches) and (
                args.seconds is None or time.monotonic() - started < args.seconds):
            before = len(findings.items)
            invocations += run_batch(seed, args.sorvel, args.tessik, findings, call_cases=args.calls,
                                     on_case=trace if args.trace else None)
            for reason, case in findings.items[before:]:
                print(f"FINDING (seed {seed}) {reason}: {case!r}", flush=True)
            reported = len(findings.items)
            batches += 1
            seed += 1
            now = time.monotonic()
            if baseline is None:
                baseline = live_objects()
            if now - last >= args.every:
                last = now
                print(f"{now - started:7.0f} s  {invocations} invocations  "
                      f"{invocations / (now - started):.0f}/s  findings {reported}  "
                      f"live objects {live_objects() - baseline:+d}", flush=True)
    except KeyboardInterrupt:
        pass
    elapsed = time.monotonic() - started
    grown = live_objects() - baseline if baseline is not None else 0
    print(f"done: {batches} batches (seeds {args.seed}..{seed - 1}), {invocations} invocations in "
          f"{elapsed:.0f} s ({invocations / max(elapsed, 1e-9):.0f}/s), {reported} findings, "
          f"live objects {grown:+d} since the first batch")
    return 1 if reported else 0


if __name__ == "__main__":
    sys.exit(main())
