"""``python -m corvane.loopback``: run the loopback gateway (generated sample data, not market data)."""

from .server import main

raise SystemExit(main())
