"""Fixtures that start loopback gateways (generated sample data) for tests that talk to them over 127.0.0.1."""

from __future__ import annotations

import asyncio
import os
from contextlib import contextmanager

import pytest
from ib_async import IB

from corvane import clock
from corvane_loopback import GatewayThread
from frozen_now import NOW


@contextmanager
def _environment(**values: str):
    """The process's environment with ``values`` set for a while, as it was afterwards."""
    saved = {name: os.environ.get(name) for name in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@pytest.fixture(autouse=True, scope="session")
def frozen_clock():
    """No test reads the wall clock: the console's today and now are ``NOW``, here and in
    every console a test starts as a process (through ``CORVANE_NOW``)."""
    clock.freeze(NOW)
    with _environment(**{clock.NOW_ENV: NOW.isoformat()}):
        yield NOW
    clock.freeze(None)


@pytest.fixture(autouse=True, scope="session")
def session_home(tmp_path_factory):
    """A console home of this run's (of each parallel worker's) own, for tests that name none:
    the suite never writes into the user's home nor shares one between workers."""
    with _environment(CORVANE_HOME=str(tmp_path_factory.mktemp("corvane-home"))):
        yield


@pytest.fixture(autouse=True)
def no_console_outlives_its_test():
    """A script's in-process console (``corvane.run``/``corvane.download`` without an owner) lives
    as long as the script, and with it the candle store it opened in that test's home: gone after
    each test, so no later test is answered from another's cache or waits on its store."""
    yield
    import sys

    api = sys.modules.get("corvane.api")
    if api is not None:
        api._close_here()
    cache = sys.modules.get("corvane.candles.cache")
    if cache is not None and cache.default_store_path() is not None:
        cache.use_store(None)
        command = sys.modules.get("corvane.cmds.quotes.sorvel")
        if command is not None:
            command._sorvel_cache = None  # it was made around that store


@pytest.fixture(autouse=True, scope="session")
def fixed_terminal_size():
    """Charts are drawn to the terminal's size: the same 100 x 30 cells for every test and the
    consoles it starts, whichever terminal (or parallel worker, which says 80 x 24) runs the suite."""
    with _environment(COLUMNS="100", LINES="30"):
        yield


@pytest.fixture
def loopback_gateway_factory():
    """Call with ``LoopbackGateway`` keyword arguments; each gateway runs on its own thread and stops after the test."""
    running: list[GatewayThread] = []

    def start(**options) -> GatewayThread:
        options.setdefault("now", NOW)
        gateway = GatewayThread(**options).start()
        running.append(gateway)
        return gateway

    yield start
    for gateway in running:
        gateway.stop()


@pytest.fixture
def loopback_gateway(loopback_gateway_factory) -> GatewayThread:
    """A gateway with default behaviour and the tests' frozen clock, on a free port (``.port``)."""
    return loopback_gateway_factory()


@pytest.fixture
def run_ib():
    """``run_ib(port, body)`` runs ``await body(ib)`` on a fresh event loop with a read-only client connected."""

    def run(port: int, body, client_id: int = 1, readonly: bool = True, timeout: float = 30):
        async def main():
            ib = IB()
            await ib.connectAsync("127.0.0.1", port, clientId=client_id, readonly=readonly, timeout=5)
            try:
                return await asyncio.wait_for(body(ib), timeout)
            finally:
                ib.disconnect()

        return asyncio.run(main())

    return run
