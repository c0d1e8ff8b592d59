"""Commands that manage the console's quote groups."""
