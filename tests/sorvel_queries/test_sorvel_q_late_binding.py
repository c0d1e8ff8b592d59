"""The queries look their helpers and tables up in the module when they run,
so replacing a module attribute changes what the next query does."""

from __future__ import annotations

import datetime as dt

from sorvel_q_doubles import FakeIB, FakeState, daily_bars, run, stock, yf_daily_frame


def test_gateway_latest_uses_the_current_helpers_and_tables(command, fake_cache, sorvel, monkeypatch):
    monkeypatch.setitem(sorvel.PERIOD_MAP, "fortnight", "2 weeks")
    monkeypatch.setattr(sorvel, "_is_period", lambda s: s == "fortnight")
    monkeypatch.setattr(sorvel, "_calc_duration", lambda days: f"{days} days")
    monkeypatch.setattr(sorvel, "ADJUST_KEYWORDS", {"split"})
    ib = FakeIB(daily_bars(1))
    result = run(command("AAPL", ib=ib)._sorvel(stock(), ["fortnight", "10", "split"]))
    keywords = dict(ib.requests[0][1])
    assert (keywords["durationStr"], keywords["barSizeSetting"], keywords["whatToShow"]) == (
        "10 days", "2 weeks", "ADJUSTED_LAST")
    assert result["period"] == "fortnight"


def test_cache_class_and_accessor_are_looked_up_per_query(command, events, sorvel, monkeypatch):
    from sorvel_q_doubles import FakeCache

    keys = []

    class Keys(sorvel.SorvelCache):
        @classmethod
        def range_key(cls, *parts):
            keys.append(parts)
            return parts

    cache = FakeCache(events)
    monkeypatch.setattr(sorvel, "SorvelCache", Keys)
    monkeypatch.setattr(sorvel, "_get_cache", lambda: cache)
    run(command("AAPL", ib=FakeIB(daily_bars(1)))._history(stock(), ["2025-01-01", "2025-01-05"]))
    assert keys == [("AAPL", "day", "none", "2025-01-01", "2025-01-05")]
    assert [c[0] for c in cache.calls] == ["get", "set"]


def test_yfinance_path_uses_the_current_normaliser_and_date_helpers(command, yf, fake_cache, sorvel, monkeypatch):
    seen = []
    real = sorvel._normalize_yfinance_df

    def normalise(hist):
        seen.append(len(hist))
        return real(hist)

    monkeypatch.setattr(sorvel, "_normalize_yfinance_df", normalise)
    monkeypatch.setattr(sorvel, "_is_date", lambda s: s == "launch")
    monkeypatch.setattr(sorvel, "_parse_date", lambda s: dt.date(2025, 1, 1))
    yf.answer = yf_daily_frame(2)
    cmd = command("AAPL", ["launch"], state=FakeState(connected=False))
    result = run(cmd.run())
    assert result["start"] == "2025-01-01" and seen == [2]


def queried_contracts(cmd) -> list:
    """The contracts run() hands to the latest-bars query, which answers at once."""
    seen = []

    async def mode(queried, rest):
        seen.append(queried)
        return {"ok": 1}

    cmd._sorvel = mode
    return seen


def test_dispatcher_reads_the_future_type_when_it_runs(command, sorvel, monkeypatch):
    class Odd:
        secType = "STK"

    monkeypatch.setattr(sorvel, "Future", Odd)
    contract = Odd()
    cmd = command("AAPL", [], state=FakeState(("AAPL", contract)))
    seen = queried_contracts(cmd)
    run(cmd.run())
    assert seen[0] is not contract and seen[0].secType == "CONTFUT" and contract.secType == "STK"


def test_work_done_in_place_gives_way_to_replaced_re_math_and_tables(command, fake_cache, sorvel, monkeypatch):
    import math
    import re

    # The date shape answered in place agrees with re.match on the words where it is easy to get wrong.
    for word in ["2025-01-01", "2025-01-01\n", "2025-01-01\r", "\uff12\uff10\uff12\uff15-01-01", "2025-0\u00b2-01",
                 "2025-01-01\n\n", "2025\u201001-01", "\u0662\u0660\u0662\u0665-\u0660\u0661-\u0660\u0661"]:
        assert sorvel._is_date(word) is (re.match(r"^\d{4}-\d{2}-\d{2}$", word) is not None), repr(word)

    asked = []
    monkeypatch.setattr(re, "match", lambda pattern, s: asked.append(s))
    assert sorvel._is_date("2025-01-01") is False and asked == ["2025-01-01"]
    monkeypatch.undo()

    class Shapes:
        @staticmethod
        def match(pattern, s):
            return s == "launch" or None

    monkeypatch.setattr(sorvel, "re", Shapes)
    assert sorvel._is_date("launch") is True and sorvel._is_date("2025-01-01") is False
    monkeypatch.undo()

    def requested(words):
        ib = FakeIB(daily_bars(1))
        run(command("AAPL", ib=ib)._sorvel(stock(), words))
        return dict(ib.requests[0][1])["durationStr"]

    assert requested(["day", "10"]) == "14 D"
    monkeypatch.setattr(math, "ceil", lambda x: 7)
    assert requested(["day", "11"]) == "7 D"
    monkeypatch.undo()

    class Counts(dict):
        def get(self, key, default=None):
            return 3

    monkeypatch.setattr(sorvel, "PERIOD_DEFAULT_COUNT", Counts())
    ib = FakeIB(daily_bars(5))
    assert run(command("AAPL", ib=ib)._sorvel(stock(), ["week"]))["count"] == 3


def test_steps_moved_past_the_cache_check_stay_in_place_once_replaced(command, fake_cache, sorvel, monkeypatch):
    def latest(words, ib=None):
        fake_cache.calls.clear()
        return run(command("AAPL", ib=ib or FakeIB(daily_bars(1)))._sorvel(stock(), words))

    # A replaced _calc_duration is still asked before the cache, even when the cache answers.
    with monkeypatch.context() as m:
        order = []
        fake_cache.entries[sorvel.SorvelCache.count_key("AAPL", "day", "none", 10)] = daily_bars(2)
        real_get = fake_cache.get
        m.setattr(fake_cache, "get", lambda key: order.append("get") or real_get(key))
        m.setattr(sorvel, "_calc_duration", lambda days: order.append(days) or f"{days} D")
        assert latest(["day", "10"], FakeIB([]))["cached"] is True
        assert order == [14, "get"]

    # The "day" default is read before a replaced _is_period runs, as written.
    with monkeypatch.context() as m:
        m.setitem(sorvel.PERIOD_DEFAULT_COUNT, "day", 7)

        def is_period(s):
            sorvel.PERIOD_DEFAULT_COUNT["day"] = 9
            return False

        m.setattr(sorvel, "_is_period", is_period)
        latest(["split"])
        assert fake_cache.calls[0][1].count == 7

    # A key builder replaced on the class, as a classmethod or not, is the one asked next.
    made = []
    for builder in (classmethod(lambda cls, *parts: made.append(cls) or parts), staticmethod(lambda *parts: parts)):
        with monkeypatch.context() as m:
            m.setattr(sorvel.SorvelCache, "count_key", builder)
            latest(["day", "3"])
            assert fake_cache.calls[0][1] == ("AAPL", "day", "none", 3)
    assert made == [sorvel.SorvelCache]

    # isinstance asks __class__ where an object answers it itself.
    class Disguised:
        secType = "STK"

        @property
        def __class__(self):
            return sorvel.Future

    cmd = command("AAPL", [], state=FakeState(("AAPL", Disguised())))
    seen = queried_contracts(cmd)
    run(cmd.run())
    assert seen[0].secType == "CONTFUT"
