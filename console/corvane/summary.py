"""The one line the console prints after a command: what came back, or what went wrong."""

from __future__ import annotations

from typing import Any

MAX_WIDTH = 160


def is_failure(result: Any) -> bool:
    return isinstance(result, dict) and "error" in result


def cut(text: str) -> str:
    return text if len(text) <= MAX_WIDTH else text[: MAX_WIDTH - 1] + "…"


def summarize(result: Any, cached_from: str | None = None) -> str:
    """A single line describing a command's result.

    A cache answer names where its bars were fetched from (``cached_from``, when
    the cache knows), not the path that answered from the cache.
    """
    if result is None:
        return "done"
    if not isinstance(result, dict):
        return cut(f"result: {result!r}")
    if "error" in result:
        where = f"{result['symbol']}: " if result.get("symbol") else ""
        return cut(f"error: {where}{result['error']}")
    bars = result.get("bars")
    if isinstance(bars, list):
        bits = [str(result["symbol"])] if result.get("symbol") else []
        bits.append(f"{len(bars)} bar{'s' if len(bars) != 1 else ''}")
        source = cached_from if result.get("cached") else result.get("source")
        if source:
            bits.append(f"from {source}")
        if result.get("cached"):
            bits.append("(cached)")
        return cut(" ".join(bits))
    keys = ", ".join(map(str, result)) or "nothing"
    return cut(f"ok ({keys})")


def why_failed(gateway_said: list[str], gateway_down: str | None, yahoo: Any) -> str:
    """ " (no gateway: ...; Yahoo Finance: unreachable (DNS))": why each source gave nothing.

    ``gateway_down`` is why there is no gateway connection (None while there is one);
    ``yahoo`` is what the Yahoo path said (``yahoo_watch.YahooSaid``).
    """
    asked_yahoo = bool(getattr(yahoo, "asked", False))
    reasons = []
    if gateway_said:
        reasons.append("the gateway said: " + "; ".join(gateway_said))
    elif gateway_down and asked_yahoo:
        reasons.append(f"no gateway: {gateway_down}")
    if asked_yahoo:
        reasons.append(f"Yahoo Finance: {yahoo.reason()}")
    return f" ({'; '.join(reasons)})" if reasons else ""
