"""Fixtures that start loopback gateways (generated sample data) for tests that talk to them over 127.0.0.1."""

from __future__ import annotations

import asyncio
import pytest
from ib_async import IB

from corvane.loopback import GatewayThread


@pytest.fixture
def loopback_gateway_factory():
    """Call with ``LoopbackGateway`` keyword arguments; each gateway runs on its own thread and stops after the test."""
    running: list[GatewayThread] = []

    def start(**options) -> GatewayThread:
        gateway = GatewayThread(**options).start()
        running.append(gateway)
        return gateway

    yield start
    for gateway in running:
        gateway.stop()


@pytest.fixture
def loopback_gateway(loopback_gateway_factory) -> GatewayThread:
    """A gateway with default behaviour and the real clock, on a free port (``.port``)."""
    return loopback_gateway_factory()


@pytest.fixture
def run_ib():
    """``run_ib(port, body)`` runs ``await body(ib)`` on a fresh event loop with a read-only client connected."""

    def run(port: int, body, client_id: int = 1, readonly: bool = True):
        async def main():
            ib = IB()
            await ib.connectAsync("127.0.0.1", port, clientId=client_id, readonly=readonly, timeout=5)
            try:
                return await asyncio.wait_for(body(ib), 30)
            finally:
                ib.disconnect()

        return asyncio.run(main())

    return run
