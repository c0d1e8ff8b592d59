"""Command modules of the console; each registers its command class on import."""
