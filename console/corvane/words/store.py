"""``store verify``: every file of the bar store checked, and what is damaged set aside."""

from __future__ import annotations

from corvane.exit_status import Failed, Refused
from corvane.words.base import Completion, ConsoleWord, WordContext

USAGE = "usage: store verify"


def run(ctx: WordContext, rest: list[str]) -> None:
    if rest != ["verify"]:
        raise Refused(USAGE)
    from corvane.history.store import BarStore, StoreError
    from corvane.home import bars_dir

    root = bars_dir()
    try:
        checked = BarStore(root).verify()
    except StoreError as exc:
        raise Failed(f"store: {exc}") from None
    for line in checked.damaged:
        ctx.complain(f"store: {line}")
    files = f"{checked.months} month file{'' if checked.months == 1 else 's'}"
    series = f"{checked.series} series"
    if checked.damaged:
        ctx.say(f"bar store {root}: {series}, {files} sound; {len(checked.damaged)} damaged, set aside")
        raise Failed()
    ctx.say(f"bar store {root}: {series}, {files}, all sound")


def complete(sources: Completion, before: list[str]) -> list[str]:
    return ["verify"] if len(before) == 1 else []


WORDS = [
    ConsoleWord(
        "store",
        "store verify",
        "check every file of the bar store download keeps; set aside what is damaged",
        run,
        details="Each month file under $CORVANE_HOME/bars is checked against the row count and\n"
        "checksum recorded when it was written. A damaged one is renamed beside itself\n"
        "(_bars.parquet.damaged-…) and its month fetched again by the next download.\n"
        "Exits 1 when something was set aside.",
        complete=complete,
    )
]
