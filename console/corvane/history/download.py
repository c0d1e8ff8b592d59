"""The downloader: exact bars of many symbols, in as few paced requests as the rules allow, fetched once.

For each symbol: the contract (``gateway.symbols``), the first data point (reqHeadTimeStamp)
so no request reaches before it, the plan (:mod:`corvane.history.plan`), and of its requests
only those the store (:mod:`corvane.history.store`) does not cover yet. Those go out through
the process's pacer (:mod:`corvane.history.pacing`), each with a timeout of its own; each
answer is stored as it arrives, so an interrupted download keeps what came. A symbol's requests
go out together: the pacer decides how many are in flight. The range is then read back from the
store and trimmed exactly. A request that times out is tried again and then named as a timeout,
never taken as "no data"; a pacing refusal holds the pacer and is sent again after it.

Without a gateway (or when asked) the bars come from Yahoo Finance within its own limits.
"""

from __future__ import annotations

import asyncio
import collections
import datetime as dt
import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from corvane import clock
from corvane.gateway.error_watch import requests_into, share
from corvane.history.pacing import (
    Pacer,
    Terms,
    is_pacing_error,
    pace_scale_from_env,
    paced_by,
    request_key,
    terms_of,
    wrap_client,
)
from corvane.history.plan import (
    BAR_SECONDS,
    NEW_YORK,
    STOCK_SESSION,
    HistoryChunk,
    HistoryQuery,
    PlanError,
    check_reach,
    exchange_hours,
    more,
    period_start,
    plan,
    session_close,
    split,
)
from corvane.history.trading_calendar import NYSE, code_for
from corvane.home import bars_dir, pacing_path

if TYPE_CHECKING:
    import pandas as pd

COLUMNS = ("open", "high", "low", "close", "volume", "average", "barCount")
SOURCES = ("auto", "ibkr", "yahoo")
#: seconds one request may take once the pacer let it go
REQUEST_TIMEOUT = 60.0
#: a request that timed out is sent this many times more before it is named
RETRIES = 2
#: pacing refusals tolerated for one request before the symbol is given up
PACING_RETRIES = 8
#: above this many requests, or this many seconds of waiting by the pacing rules, the plan is
#: told before the download starts and the progress line kept
LONG, LONG_SECONDS = 20, 10.0
#: how often the time left is told again when no answer came: a wait out of a pacing window
#: can last minutes, and a line that stands still for them looks stuck
TICK = 1.0


class DownloadError(ValueError):
    """A download that cannot be started, with the reason in words."""


class Store(Protocol):
    """What the downloader needs of the bar store."""

    def missing(self, series: Any, spans: Sequence[tuple[dt.datetime, dt.datetime]], now: dt.datetime) -> list: ...

    def put(
        self,
        series: Any,
        span: tuple[dt.datetime, dt.datetime],
        bars: pd.DataFrame,
        *,
        provisional: bool = False,
        fetched_at: dt.datetime | None = None,
    ) -> None: ...

    def read(self, series: Any, start: dt.datetime, end: dt.datetime) -> pd.DataFrame: ...

    def writer(self) -> Any: ...  # put, flush(series) and close, writing a month at a time

    def head(self, series: Any) -> dt.datetime | None: ...

    def note_head(self, series: Any, head: dt.datetime) -> None: ...


@dataclass(frozen=True)
class Request:
    """What was asked: symbols (groups already expanded) and the range or count, as the word takes them."""

    symbols: tuple[str, ...]
    interval: str = "1d"
    start: dt.date | None = None
    end: dt.date | None = None
    last: int | None = None
    adjusted: bool = False
    outside_rth: bool = False
    source: str = "auto"

    def query(self, head: dt.datetime | None = None, future: bool = False, details: Any = None) -> HistoryQuery:
        """The plan's query; a future's on its exchange's clock, as its contract ``details`` give it."""
        start = self.start
        if start is None and self.last is None:
            start = self.end  # only an end day: that one day
        zone, session = exchange_hours(details) if future else (NEW_YORK, STOCK_SESSION)
        exchange = code_for(getattr(getattr(details, "contract", None), "exchange", "CME")) if future else NYSE
        return HistoryQuery(
            self.interval,
            start=start,
            end=self.end,
            last=self.last,
            adjusted=self.adjusted,
            outside_rth=self.outside_rth,
            head=head,
            zone=zone,
            exchange=exchange,
            session=session,
        )


@dataclass
class SymbolBars:
    """One symbol's answer: its bars in the exchange's zone, or why there are none."""

    symbol: str
    source: str
    bars: pd.DataFrame | None = None
    failure: str | None = None
    requests: int = 0
    from_store: int = 0  # bars answered without a request
    #: trading days (first, last) of the requests that did not come, when the symbol failed midway
    missing: list[tuple[dt.date, dt.date]] = field(default_factory=list)


@dataclass
class Result:
    symbols: list[SymbolBars] = field(default_factory=list)
    pacing_errors: int = 0

    @property
    def requests(self) -> int:
        return sum(s.requests for s in self.symbols)

    @property
    def failures(self) -> list[SymbolBars]:
        return [s for s in self.symbols if s.failure]


class Progress:
    """How far a long download is: its plan, the requests done, and the time left.

    The ETA follows the rate observed over the latest answers (the pace grows while the pacer
    learns how many the broker serves at once, so the rate since the start lags it), and is
    never below ``floor(requests left)``: the least the pacing rules allow for the rest (a
    burst answered at once says nothing of the 10-minute rule ahead). The caller's ``report``
    is handed it at the start, after each request, every ``TICK`` between them (the time left
    counts down while a pacing window is waited out) and once ``finished``; drawing it is the
    caller's business."""

    #: the latest share of the requests (at least RECENT_MIN of them) the rate is measured over
    RECENT_SHARE = 0.25
    RECENT_MIN = 5

    def __init__(
        self,
        total: int,
        report: Callable[[Progress], None] | None = None,
        *,
        plan: str = "",
        floor: Callable[[int], float] | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.total, self.done, self.plan, self.finished = total, 0, plan, False
        self.report, self.floor = report, floor
        self._clock = clock
        self.started = clock()
        self._steps: collections.deque[tuple[float, int]] = collections.deque([(self.started, 0)])

    def step(self, count: int = 1) -> None:
        self.done += count
        self._steps.append((self._clock(), self.done))
        recent = max(self.RECENT_MIN, math.ceil(self.total * self.RECENT_SHARE))
        while len(self._steps) > 2 and self._steps[1][1] <= self.done - recent:
            self._steps.popleft()
        self.tell()

    def close(self) -> None:
        self.finished = True
        self.tell()

    def tell(self) -> None:
        if self.report is not None:
            self.report(self)

    def line(self) -> str:
        share = min(1.0, self.done / self.total)
        bar = "█" * round(share * 24)
        left = "" if self.done >= self.total else self._left()
        return f"[{bar:<24}] {self.done}/{self.total} requests{left} (Ctrl-C stops, keeps what arrived)"

    def eta(self) -> float:
        """Seconds the requests left take at the latest rate (never below the floor); nan before any answer."""
        (then, before), (last, _), now = self._steps[0], self._steps[-1], self._clock()
        eta = math.nan
        if self.done > before:  # the rest at that pace from the latest answer on, counted down since
            eta = max(0.0, (last - then) / (self.done - before) * (self.total - self.done) - (now - last))
        if self.floor is not None and self.done < self.total:
            eta = max(self.floor(self.total - self.done), 0.0 if math.isnan(eta) else eta)
        return eta

    def _left(self) -> str:
        eta = self.eta()
        return "" if math.isnan(eta) else f", about {_duration(eta)} left"


def _duration(seconds: float) -> str:
    if seconds < 90:
        return f"{max(1, round(seconds))} s"
    if seconds < 90 * 60:
        return f"{round(seconds / 60)} minutes"
    return f"{seconds / 3600:.1f} hours"


# -- the gateway path ------------------------------------------------------------------


@dataclass
class _Job:
    """One symbol on its way: contract, query, planned and still missing requests."""

    symbol: str
    contract: Any = None
    series: Any = None
    query: HistoryQuery | None = None
    chunks: list[HistoryChunk] = field(default_factory=list)
    todo: list[HistoryChunk] = field(default_factory=list)
    out: SymbolBars | None = None


def _midnight(query: HistoryQuery, day: dt.date) -> dt.datetime:
    return dt.datetime(day.year, day.month, day.day, tzinfo=query.tz)


def _span(query: HistoryQuery, chunk: HistoryChunk) -> tuple[dt.datetime, dt.datetime]:
    # Daily and longer bars are stamped at the day's midnight, before the session opens.
    if BAR_SECONDS[query.bar_size] >= 86400:
        return _midnight(query, chunk.first_day), chunk.end
    return chunk.start, chunk.end


def _session_open(query: HistoryQuery, day: dt.date, now: dt.datetime) -> bool:
    """Whether ``day``'s session has not closed by ``now``: its bars may still change."""
    return now < session_close(query, day)


def _whole(frame: pd.DataFrame, query: HistoryQuery, chunk: HistoryChunk) -> pd.DataFrame:
    """The bars of one answer the request covered wholly: none the start of its window cut
    (the gateway stamps the cut part like a whole bar), no week or month begun before its first day."""
    if BAR_SECONDS[query.bar_size] < 86400:
        return frame[frame.index >= chunk.start]
    if BAR_SECONDS[query.bar_size] > 86400:
        return frame[frame.index.tz_convert(query.tz).date >= chunk.first_day]
    return frame


def _frame(bars: Sequence[Any], query: HistoryQuery) -> pd.DataFrame:
    """The gateway's bars as the store's columns on an aware index."""
    import numpy as np
    import pandas as pd

    # A year of minutes is ~200,000 bars: one pass per column over the bars' attributes, and
    # the index from epoch seconds, cost a fraction of a dict per bar and a parse of each date.
    columns = {
        name: np.fromiter((getattr(b, name) for b in bars), dtype=np.int64 if name == "barCount" else np.float64,
                          count=len(bars))
        for name in COLUMNS
    }  # fmt: skip
    dates = [b.date for b in bars]
    if all(type(d) is dt.datetime and d.tzinfo is not None for d in dates):
        seconds = np.fromiter((d.timestamp() for d in dates), dtype=np.float64, count=len(dates))
        # Whole seconds as integers, so no float rounding moves a bar off its second.
        index = pd.to_datetime(np.round(seconds).astype(np.int64), unit="s", utc=True)
    else:
        index = pd.to_datetime([_instant(d, query) for d in dates], utc=True)
    return pd.DataFrame(columns, index=pd.DatetimeIndex(index, name="date"))


def _instant(value: Any, query: HistoryQuery) -> dt.datetime:
    if isinstance(value, dt.datetime):
        return value if value.tzinfo is not None else value.replace(tzinfo=query.tz)
    return _midnight(query, value)


class _Fetcher:
    """Sends one symbol's requests through the pacer and stores each answer as it comes."""

    def __init__(self, ib: Any, store: Store, pacer: Pacer, result: Result, timeout: float) -> None:
        self.ib, self.store, self.pacer, self.result, self.timeout = ib, store, pacer, result, timeout
        self.answered = 0  # requests of this download answered, for the words when the connection goes
        self.sink = store.writer()  # answers written a month at a time; flushed before each read back
        original = ib.reqHistoricalDataAsync
        self._send = getattr(original, "__wrapped__", original)  # paced here, with the timeout after the turn

    async def head(self, contract: Any, query_rth: bool) -> dt.datetime | None:
        try:
            head = await asyncio.wait_for(self.ib.reqHeadTimeStampAsync(contract, "TRADES", query_rth, 2), self.timeout)
        except (TimeoutError, ConnectionError):
            return None
        if not isinstance(head, dt.datetime):
            return None
        return head if head.tzinfo is not None else head.replace(tzinfo=dt.UTC)

    async def fetch(self, job: _Job, chunk: HistoryChunk, now: dt.datetime) -> None:
        """One request into the store; raises _Failed with the reason the symbol got nothing."""
        assert job.query is not None and job.out is not None
        try:
            bars = await self._ask(job, chunk, now)
        except _Split as cut:
            # The broker was slow with it: smaller requests for the same bars, in flight together.
            await asyncio.gather(*(self.fetch(job, piece, now) for piece in cut.pieces))
            return
        frame = _whole(_frame(bars, job.query), job.query, chunk)
        start, end = _span(job.query, chunk)
        if len(frame):
            # Weekly and monthly bars may be stamped before the span: the span covers them all.
            start = min(start, frame.index[0].to_pydatetime())
            end = max(end, frame.index[-1].to_pydatetime() + dt.timedelta(seconds=1))
        provisional = job.query.adjusted or _session_open(job.query, chunk.last_day, now)
        self.sink.put(job.series, (start, end), frame, provisional=provisional, fetched_at=now)

    async def _ask(self, job: _Job, chunk: HistoryChunk, now: dt.datetime) -> Sequence[Any]:
        assert job.out is not None and job.query is not None
        timeouts = pacing = 0
        terms = terms_of(chunk.bar_size, chunk.duration, chunk.what_to_show)
        while True:
            bars, errors = await self._attempt(job, chunk, terms)
            if bars is None:
                self.pacer.timed_out(terms)
                pieces = [] if terms.small else split(job.query, chunk, now)
                if pieces:
                    raise _Split(pieces)
                timeouts += 1
                if timeouts > RETRIES:
                    raise _Failed(f"the gateway did not answer within {self.timeout:g} s ({1 + RETRIES} tries)")
                continue
            refusal = _refusal(errors)
            if refusal == "pacing":
                # Sent past the wrapper: the pacer hears of it here, and the retry waits for it.
                self.pacer.refused(terms)
                self.result.pacing_errors += 1
                pacing += 1
                if pacing > PACING_RETRIES:
                    raise _Failed("the gateway kept refusing for pacing")
                continue
            if refusal:
                raise _Failed(refusal)
            if not self.ib.isConnected():
                raise self.closed()
            return bars

    def closed(self) -> _Failed:
        n = self.answered
        return _Failed(
            f"the gateway closed the connection after {n:,} request{'' if n == 1 else 's'}; what arrived is kept"
        )

    async def _attempt(
        self, job: _Job, chunk: HistoryChunk, terms: Terms
    ) -> tuple[Sequence[Any] | None, list[tuple[int, str]]]:
        """One try: the bars (None on a timeout) and what the gateway said about this request meanwhile."""
        assert job.out is not None
        errors: list[tuple[int, str]] = []
        ids: set[int] = set()

        def seen(req_id: int, code: int, text: str, contract: Any = None, *_rest: Any) -> None:
            # By request id where the client's ids are tracked: several requests of one
            # contract are in flight at once, and one's refusal is not the others'.
            if (req_id in ids) if ids else (contract is job.contract):
                errors.append((code, text))

        key, identity = request_key(
            job.contract, chunk.end_datetime, chunk.duration, chunk.bar_size, chunk.what_to_show, chunk.use_rth
        )
        self.ib.errorEvent += seen
        try:
            async with self.pacer.request(key, identity, terms) as turn:
                job.out.requests += 1
                share(ids)  # the command's own error watch still hears of it
                with requests_into(ids):
                    bars = await self._timed(job.contract, chunk)
                if bars is not None and self.ib.isConnected():
                    self.answered += 1
                if bars is not None and not _refusal(errors):
                    turn.size = len(bars)  # a refusal comes back at once and says nothing of the pace
                return bars, errors
        except ConnectionError:
            raise self.closed() from None
        finally:
            self.ib.errorEvent -= seen

    async def _timed(self, contract: Any, chunk: HistoryChunk) -> Sequence[Any] | None:
        call = self._send(
            contract,
            chunk.end_datetime,
            chunk.duration,
            chunk.bar_size,
            chunk.what_to_show,
            chunk.use_rth,
            formatDate=2,
            keepUpToDate=False,
            timeout=0,  # ours, below: the library's own turns a timeout into an empty answer
        )
        # Awaited in this task, not one of its own started on the loop's next step: the request
        # is written now, when the pacer counts it sent, however busy the loop is.
        try:
            async with asyncio.timeout(self.timeout):
                return list(await call)
        except TimeoutError:
            self._cancel(contract)
            return None

    def _cancel(self, contract: Any) -> None:
        # The request's id is the library's; it is the one pending for this very contract object.
        wrapper = getattr(self.ib, "wrapper", None)
        pending = getattr(wrapper, "_reqId2Contract", {})
        for req_id, c in list(pending.items()):
            if c is contract:
                try:
                    self.ib.client.cancelHistoricalData(req_id)
                except Exception:  # the connection may be gone; nothing left to cancel then
                    pass


class _Failed(Exception):
    pass


class _Split(Exception):
    def __init__(self, pieces: list[HistoryChunk]) -> None:
        super().__init__(f"{len(pieces)} pieces")
        self.pieces = pieces


def _refusal(errors: list[tuple[int, str]]) -> str | None:
    """ "pacing" for a pacing refusal, the gateway's words for any other refusal, None for an answer."""
    for code, text in errors:
        if is_pacing_error(code, text):
            return "pacing"
    for code, text in errors:
        if code == 162 and "returned no data" in text.lower():
            continue  # an empty span: an answer, not a failure
        if code < 2100:
            return f"error {code}: {text}"
    return None


async def _prepare(fetcher: _Fetcher, request: Request, job: _Job, now: dt.datetime) -> None:
    from corvane.gateway.symbols import FUTURE_PREFIX, resolve

    from .store import Series

    assert job.out is not None
    try:
        found = await resolve(fetcher.ib, job.symbol)
    except ConnectionError:
        job.out.failure = str(fetcher.closed())
        return
    if found.contract is None:
        job.out.failure = "the gateway knows no single contract for it"
        return
    job.contract = found.contract
    future = job.symbol.strip().startswith(FUTURE_PREFIX)
    query = request.query(None, future, found.details)
    name = str(found.contract.localSymbol or found.contract.symbol) if future else found.name
    job.series = Series(name, query.bar_size, query.what_to_show, not request.outside_rth)
    # The first data point does not move: asked once per series, then kept with it.
    head = fetcher.store.head(job.series)
    if head is None:
        head = await fetcher.head(found.contract, not request.outside_rth)
        if head is not None:
            fetcher.store.note_head(job.series, head)
    job.query = request.query(head, future, found.details)
    job.chunks = plan(job.query, now)
    job.todo = _missing(fetcher.store, job, job.chunks, now)


def _missing(store: Store, job: _Job, chunks: Sequence[HistoryChunk], now: dt.datetime) -> list[HistoryChunk]:
    assert job.query is not None
    if job.query.adjusted:
        return list(chunks)  # adjusted bars change with every dividend: always asked again
    spans = [_span(job.query, c) for c in chunks]
    gaps = store.missing(job.series, spans, now)
    return [c for c, (a, b) in zip(chunks, spans, strict=True) if any(s < b and a < e for s, e in gaps)]


async def _fetch_all(
    fetcher: _Fetcher, job: _Job, chunks: Sequence[HistoryChunk], now: dt.datetime, progress: Progress | None
) -> None:
    """Every chunk at once, the pacer deciding when each goes; the first failure stops the rest."""
    assert job.out is not None
    try:
        failures: list[str] = []
        arrived: set[int] = set()
        stepped = 0

        async def one(chunk: HistoryChunk) -> None:
            nonlocal stepped
            try:
                await fetcher.fetch(job, chunk, now)
                arrived.add(id(chunk))
            except _Failed as exc:
                failures.append(str(exc))
                raise
            finally:
                if progress is not None and not asyncio.current_task().cancelling():  # type: ignore[union-attr]
                    progress.step()
                    stepped += 1

        tasks = [asyncio.ensure_future(one(chunk)) for chunk in chunks]
        try:
            await asyncio.gather(*tasks)
        except _Failed:
            job.out.missing = _runs(job.chunks, [c for c in chunks if id(c) not in arrived])
            job.out.failure = f"{failures[0]}; still missing {missing_text(job.out.missing)}"
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            if progress is not None and failures and stepped < len(chunks):
                progress.step(len(chunks) - stepped)  # never sent: the bar need not wait for them
    finally:
        fetcher.sink.flush(job.series)  # read back next, and kept when stopped


def _runs(planned: Sequence[HistoryChunk], left: Sequence[HistoryChunk]) -> list[tuple[dt.date, dt.date]]:
    """The days of the requests ``left``, one span for each run of them next to each other in the plan
    (the store may hold the days between two runs)."""
    place = {id(c): i for i, c in enumerate(planned)}
    runs: list[tuple[dt.date, dt.date]] = []
    before = None
    for chunk in sorted(left, key=lambda c: c.first_day):
        at = place.get(id(chunk))
        if runs and at is not None and before is not None and at == before + 1:
            runs[-1] = (runs[-1][0], max(runs[-1][1], chunk.last_day))
        else:
            runs.append((chunk.first_day, chunk.last_day))
        before = at
    return runs


def missing_text(spans: Sequence[tuple[dt.date, dt.date]]) -> str:
    """ "2025-02-10 → 2025-02-14, 2025-02-20"."""
    named = [str(a) if a == b else f"{a} → {b}" for a, b in spans]
    if len(named) > 6:
        named = [*named[:5], f"and {len(named) - 5} spans more"]
    return ", ".join(named)


def _read(store: Store, job: _Job, chunks: Sequence[HistoryChunk]) -> pd.DataFrame:
    assert job.query is not None
    spans = [_span(job.query, c) for c in chunks]
    if not spans:
        return _empty(job.query)
    start = min(s for s, _ in spans)
    end = max(e for _, e in spans)
    if job.query.last is None and job.query.start is not None:
        start = min(start, _midnight(job.query, job.query.start))
        if BAR_SECONDS[job.query.bar_size] > 86400:
            start -= dt.timedelta(days=31)  # a week's or month's bar is stamped at its first day
    frame = store.read(job.series, start, end)
    return frame.tz_convert(job.query.tz) if len(frame) else _empty(job.query)


def _empty(query: HistoryQuery) -> pd.DataFrame:
    import pandas as pd

    index = pd.DatetimeIndex([], tz=query.zone, name="date")
    return pd.DataFrame({c: [] for c in COLUMNS}, index=index)


def trim(frame: pd.DataFrame, query: HistoryQuery, now: dt.datetime) -> pd.DataFrame:
    """Exactly what was asked: the calendar days start to end in the exchange's zone, or the last N bars."""
    local = frame.tz_convert(query.tz) if len(frame) else _empty(query)
    if query.last is not None:
        return local.iloc[-query.last :]
    assert query.start is not None
    days = local.index.date
    end = query.end or now.astimezone(query.tz).date()
    # A week's or month's bar belongs when its week or month overlaps the days asked; it is
    # stamped at its first trading day, which may come before the start.
    first = period_start(query, query.start) if BAR_SECONDS[query.bar_size] > 86400 else query.start
    return local[(days >= first) & (days <= end)]


async def _one(fetcher: _Fetcher, job: _Job, now: dt.datetime, progress: Progress | None) -> None:
    assert job.out is not None and job.query is not None
    stored = _read(fetcher.store, job, job.chunks)
    await _fetch_all(fetcher, job, job.todo, now, progress)
    chunks = list(job.chunks)
    bars = _read(fetcher.store, job, chunks)
    while job.out.failure is None and job.query.last is not None:
        extra = more(job.query, chunks, len(bars))
        if not extra:
            break
        chunks = extra if job.query.adjusted else [*extra, *chunks]
        await _fetch_all(fetcher, job, _missing(fetcher.store, job, extra, now), now, None)
        bars = _read(fetcher.store, job, chunks)
    job.out.bars = trim(bars, job.query, now)
    job.out.from_store = min(len(job.out.bars), len(trim(stored, job.query, now)))


def _pacer_of(ib: Any) -> Pacer:
    pacer = paced_by(ib)
    if pacer is None:
        pacer = Pacer(pace_scale_from_env(), home=pacing_path())
        wrap_client(ib, pacer)
    return pacer


def _paced(jobs: Sequence[_Job]) -> list[tuple[Any, Any, Terms]]:
    """The jobs' requests as the pacer counts them, interleaved across symbols as it serves them."""
    queues = [[(j.symbol, c) for c in j.todo] for j in jobs]
    order = [q[i] for i in range(max(map(len, queues), default=0)) for q in queues if i < len(q)]
    return [
        ((symbol, c.what_to_show), (symbol, c.end_datetime, c.duration, c.bar_size, c.what_to_show, c.use_rth),
         terms_of(c.bar_size, c.duration, c.what_to_show))
        for symbol, c in order
    ]  # fmt: skip


def expected_seconds(jobs: Sequence[_Job], pacer: Pacer) -> float | None:
    """How long the jobs' requests take: the pacing floor for small bars (after what the home
    sent lately), the pace measured so far for the rest; None when nothing was measured yet."""
    requests = _paced(jobs)
    floor = pacer.floor(requests)
    soft = collections.Counter(t.kind for _, _, t in requests if not t.small)
    measured = [pacer.throughput.seconds(n, kind) for kind, n in soft.items()]
    if any(m is None for m in measured):
        return None
    return floor + sum(m for m in measured if m is not None)


def plan_text(jobs: Sequence[_Job], pacer: Pacer) -> str:
    """ "AAPL MSFT: 2 × 251 requests of 1 D × 1 min, about 18 minutes at the gateway's pace"."""
    busy = [j for j in jobs if j.todo]
    names = " ".join(j.symbol for j in busy)
    counts = sorted({len(j.todo) for j in busy})
    sample = busy[0].todo[0]
    what = f"{sample.duration} × {sample.bar_size}"
    if len(counts) == 1:
        shape = f"{len(busy)} × {counts[0]}" if len(busy) > 1 else f"{counts[0]}"
    else:
        shape = f"{sum(len(j.todo) for j in busy)}"
    seconds = expected_seconds(busy, pacer)
    if seconds is None:
        return f"{names}: {shape} requests of {what}, as fast as the gateway answers"
    return f"{names}: {shape} requests of {what}, about {_duration(seconds)} at the gateway's pace"


async def from_gateway(
    ib: Any,
    store: Store,
    request: Request,
    *,
    now: dt.datetime | None = None,
    progress: Callable[[Progress], None] | None = None,
    timeout: float = REQUEST_TIMEOUT,
) -> Result:
    """Every symbol of ``request`` through the gateway ``ib`` is connected to, via ``store``."""
    now = now or clock.now(dt.UTC)
    result = Result()
    fetcher = _Fetcher(ib, store, _pacer_of(ib), result, timeout)
    jobs = [_Job(s, out=SymbolBars(s, "ibkr")) for s in request.symbols]
    await asyncio.gather(*(_prepare(fetcher, request, j, now) for j in jobs))
    ready = [j for j in jobs if j.out is not None and j.out.failure is None]
    total = sum(len(j.todo) for j in ready)
    watch = ticking = None
    if progress is not None and (total > LONG or (expected_seconds(ready, fetcher.pacer) or 0.0) >= LONG_SECONDS):
        watch = Progress(total, progress, plan=plan_text(ready, fetcher.pacer), floor=_floor_of(ready, fetcher.pacer))
        watch.step(0)  # the plan, before the first request goes
        ticking = asyncio.ensure_future(_keep_telling(watch))
    try:
        await asyncio.gather(*(_one(fetcher, j, now, watch) for j in ready))
    finally:
        fetcher.sink.close()
        if ticking is not None:
            ticking.cancel()
        if watch is not None:
            watch.close()
    result.symbols = [j.out for j in jobs if j.out is not None]
    return result


async def _keep_telling(progress: Progress) -> None:
    while True:
        await asyncio.sleep(TICK)
        progress.tell()


def _floor_of(jobs: Sequence[_Job], pacer: Pacer) -> Callable[[int], float] | None:
    """The pacing floor of the last N small-bar requests, for the progress line; None for larger bars."""
    requests = [r for r in _paced(jobs) if r[2].small]
    if not requests:
        return None
    return lambda left: pacer.floor(requests[-left:])


# -- the Yahoo path ----------------------------------------------------------------------

#: Yahoo's own interval names, and how far back and how much per request it serves them
YAHOO_INTERVALS = {"1m": "1m", "2m": "2m", "5m": "5m", "15m": "15m", "30m": "30m", "1h": "60m",
                   "1d": "1d", "1wk": "1wk", "1mo": "1mo"}  # fmt: skip
YAHOO_REACH = {"1m": 30, "2m": 60, "5m": 60, "15m": 60, "30m": 60, "1h": 730}
YAHOO_STEP = {"1m": 7}


def yahoo_windows(request: Request, today: dt.date) -> list[tuple[dt.date, dt.date]]:
    """[start, end] day windows Yahoo serves for ``request`` (its end day included)."""
    if request.interval not in YAHOO_INTERVALS:
        raise DownloadError(f"Yahoo Finance has no {request.interval} bars")
    reach = YAHOO_REACH.get(request.interval)
    end = min(request.end or today, today)
    if request.last is not None:
        start = today - dt.timedelta(days=reach - 1 if reach else 3650)
    else:
        start = request.start or request.end or today
    if reach is not None:
        earliest = today - dt.timedelta(days=reach - 1)
        if end < earliest:
            raise DownloadError(
                f"Yahoo Finance keeps {request.interval} bars for the last {reach} days only (since {earliest})"
            )
        start = max(start, earliest)
    step = YAHOO_STEP.get(request.interval)
    if step is None:
        return [(start, end)]
    windows, day = [], start
    while day <= end:
        windows.append((day, min(end, day + dt.timedelta(days=step - 1))))
        day += dt.timedelta(days=step)
    return windows


def _yahoo_frame(raw: pd.DataFrame, zone: str) -> pd.DataFrame:
    import pandas as pd

    if raw is None or raw.empty:
        return _empty(HistoryQuery("1d", start=dt.date(2000, 1, 1), zone=zone))
    frame = raw.rename(columns={"Open": "open", "High": "high", "Low": "low", "Close": "close", "Volume": "volume"})
    frame = frame[["open", "high", "low", "close", "volume"]].copy()
    # Yahoo gives neither; left empty rather than made up.
    frame["average"] = float("nan")
    frame["barCount"] = pd.array([pd.NA] * len(frame), dtype="Int64")
    index = pd.DatetimeIndex(frame.index)
    index = index.tz_localize(zone) if index.tz is None else index.tz_convert(zone)
    frame.index = index.rename("date")
    return frame


def from_yahoo_sync(request: Request, symbol: str, today: dt.date) -> SymbolBars:
    """One symbol from Yahoo Finance (blocking: run it off the event loop)."""
    import pandas as pd
    import yfinance

    from corvane.yahoo_watch import yahoo_said

    out = SymbolBars(symbol, "yahoo")
    query = request.query()
    try:
        parts = []
        windows = yahoo_windows(request, today)
    except DownloadError as exc:
        out.failure = str(exc)
        return out
    # yfinance logs most failures (and returns nothing) rather than raising: heard here, on
    # this thread, so the failure is named in the words the console uses for Yahoo.
    with yahoo_said() as said:
        try:
            for first, last in windows:
                raw = yfinance.Ticker(symbol.lstrip("/")).history(
                    start=first.isoformat(),
                    end=(last + dt.timedelta(days=1)).isoformat(),
                    interval=YAHOO_INTERVALS[request.interval],
                    auto_adjust=request.adjusted,
                    prepost=request.outside_rth,
                )
                out.requests += 1
                parts.append(_yahoo_frame(raw, query.zone))
        except Exception as exc:  # the network, Yahoo's answer: named, never "no data"
            said.failures.append(f"{type(exc).__name__}: {exc}")
            out.failure = f"Yahoo Finance: {said.reason()}"
            return out
    frame = pd.concat(parts) if parts else _empty(query)
    frame = frame[~frame.index.duplicated(keep="last")].sort_index()
    if not len(frame):
        out.failure = f"Yahoo Finance: {said.reason()}" if said.failures else "Yahoo Finance returned no bars"
    now = clock.now(dt.UTC)
    out.bars = trim(frame, query, now)
    return out


async def from_yahoo(request: Request) -> Result:
    today = clock.now(dt.UTC).astimezone(request.query().tz).date()
    loop = asyncio.get_running_loop()
    parts = [loop.run_in_executor(None, from_yahoo_sync, request, s, today) for s in request.symbols]
    return Result(symbols=list(await asyncio.gather(*parts)))


def bar_store() -> Store:
    from .store import BarStore

    return BarStore(bars_dir())


def check(request: Request) -> None:
    """Refuse a request that cannot be planned, before any connection is made."""
    if not request.symbols:
        raise DownloadError("name at least one symbol")
    if request.source not in SOURCES:
        raise DownloadError(f"unknown source {request.source!r}; use one of {' '.join(SOURCES)}")
    try:
        check_reach(request.query(), clock.now(dt.UTC))
    except PlanError as exc:
        raise DownloadError(str(exc)) from None
    if request.source == "yahoo" and request.interval not in YAHOO_INTERVALS:
        raise DownloadError(f"Yahoo Finance has no {request.interval} bars")


async def download(
    ib: Any,
    store: Store,
    request: Request,
    *,
    connected: bool,
    progress: Callable[[Progress], None] | None = None,
    timeout: float = REQUEST_TIMEOUT,
    gateway_down: str | None = None,
) -> Result:
    """The bars ``request`` asks for, from the gateway when connected (and not told otherwise), else Yahoo.

    ``gateway_down`` is why there is no gateway: a symbol Yahoo fails too is named with both
    reasons, in the words a command's closing line uses.
    """
    check(request)
    if request.source == "yahoo" or (request.source == "auto" and not connected):
        result = await from_yahoo(request)
        if request.source == "auto" and gateway_down:
            for got in result.failures:
                got.failure = f"no gateway: {gateway_down}; {got.failure}"
        return result
    if not connected:
        raise DownloadError("--source ibkr needs a gateway connection, and there is none")
    return await from_gateway(ib, store, request, progress=progress, timeout=timeout)


def run_download(
    session: Any,
    request: Request,
    *,
    connected: bool,
    progress: Callable[[Progress], None] | None = None,
    gateway_down: str | None = None,
) -> Result:
    """:func:`download` into the home's bar store on the session's event loop, waited for: the
    result, its error raised here, or ``Cancelled`` (what arrived stays in the store)."""
    store = bar_store()
    return session.loop_thread.run_value(
        lambda: download(session.ib, store, request, connected=connected, progress=progress, gateway_down=gateway_down)
    )
