"""Thousands of random word lists through sorvel's run(), hundreds of random
stores through tessik and random direct calls of sorvel's functions and
methods: only the errors the Python code would raise, records of the right
shape, and nothing left behind that grows with use.
scripts/fuzz.py runs the same cases for as long as one likes."""

from __future__ import annotations

from fuzz_cases import Findings, live_objects, run_batch

SEED = 20251209


def test_random_words_and_stores():
    findings = Findings()
    invocations = run_batch(SEED, sorvel_cases=1200, tessik_cases=300, findings=findings)
    assert not findings, f"{len(findings.items)} findings:\n{findings}"

    # The same cases again, now that every path has run once: what a leak of
    # one object per call would add is far above the interpreter's own noise.
    before = live_objects()
    again = run_batch(SEED, sorvel_cases=300, tessik_cases=100, findings=findings)
    grown = live_objects() - before
    assert invocations > 3500 and not findings
    assert grown < again / 4, f"{grown} more live objects after {again} invocations"
