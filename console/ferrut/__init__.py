"""Utilities of the console: argument dispatch and table printing."""
