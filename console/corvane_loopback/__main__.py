"""``python -m corvane_loopback``: run the loopback gateway (generated sample data, not market data)."""

from .server import main

raise SystemExit(main())
