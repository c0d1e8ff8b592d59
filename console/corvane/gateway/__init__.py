"""What the console keeps about the gateway: its connection state and the candle cache."""
