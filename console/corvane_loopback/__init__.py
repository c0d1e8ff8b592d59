"""Loopback broker gateway: speaks the broker's API socket protocol on 127.0.0.1.

ALL DATA IT SERVES IS GENERATED SAMPLE DATA, NOT MARKET DATA. Prices, volumes,
contract ids and expiries are made up, deterministically: the same symbol and
request always give the same bars, in any process. It exists so the console,
its demo and its end-to-end tests can run where no real gateway is reachable.

- ``LoopbackGateway``: the asyncio server (``async with LoopbackGateway(port=0) as gw``).
- ``GatewayThread``: the same on a background thread, for callers with their own loop.
- ``corvane-gateway`` / ``python -m corvane_loopback``: the command line.
"""

from .background import GatewayThread
from .server import LoopbackGateway

__all__ = ["GatewayThread", "LoopbackGateway"]
