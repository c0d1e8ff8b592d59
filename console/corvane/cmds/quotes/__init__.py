"""Commands about quotes and candles."""
