"""The trading and market-data console (a small stand-in that hosts the command modules)."""
