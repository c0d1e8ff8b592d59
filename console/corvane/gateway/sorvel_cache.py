"""The name the sorvel command imports its candle cache by; the cache is :mod:`corvane.candles.cache`."""

from corvane.candles.cache import SorvelCache

__all__ = ["SorvelCache"]
