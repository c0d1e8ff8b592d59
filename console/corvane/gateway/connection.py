"""The gateway connection: where to reach it, connecting once, and noticing its loss."""

from __future__ import annotations

import logging
import os
from collections.abc import Mapping
from contextlib import contextmanager
from dataclasses import dataclass, replace
from typing import Any

from loguru import logger

from corvane.gateway import bar_dates
from corvane.gateway.discovery import (
    CLIENT_ID_TRIES,
    USUAL_PORTS,
    failure_text,
    short_failure,
    try_ports,
)
from corvane.gateway.reconnect import Reconnector

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 4001
#: A fixed id, so a restarted console takes over its own API session.
DEFAULT_CLIENT_ID = 17
DEFAULT_TIMEOUT = 2.0

HOST_ENV = "CORVANE_IB_HOST"
PORT_ENV = "CORVANE_IB_PORT"
CLIENT_ID_ENV = "CORVANE_IB_CLIENT_ID"
TIMEOUT_ENV = "CORVANE_IB_TIMEOUT"


class SettingsError(ValueError):
    """A gateway setting that cannot be used."""


@dataclass(frozen=True)
class GatewaySettings:
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    client_id: int = DEFAULT_CLIENT_ID
    timeout: float = DEFAULT_TIMEOUT
    #: No port was named: try the usual ones in turn.
    discover: bool = False

    @property
    def address(self) -> str:
        return f"{self.host}:{self.port}"


def _number(kind, text: Any, what: str, low: float, high: float):
    try:
        value = kind(str(text).strip())
    except ValueError:
        raise SettingsError(f"{what} must be a number, not {text!r}") from None
    if not low <= value <= high:
        raise SettingsError(f"{what} must be between {low} and {high}, not {value}")
    return value


def resolve_settings(
    host: str | None = None,
    port: Any = None,
    client_id: Any = None,
    timeout: Any = None,
    env: Mapping[str, str] | None = None,
) -> GatewaySettings:
    """Options win over the environment, the environment over the defaults."""
    env = os.environ if env is None else env

    def pick(option: Any, name: str, default: Any) -> Any:
        if option is not None:
            return option
        text = env.get(name, "").strip()
        return text if text else default

    port_named = port is not None or bool(env.get(PORT_ENV, "").strip())
    return GatewaySettings(
        discover=not port_named,
        host=str(pick(host, HOST_ENV, DEFAULT_HOST)),
        port=_number(int, pick(port, PORT_ENV, DEFAULT_PORT), "gateway port", 1, 65535),
        client_id=_number(int, pick(client_id, CLIENT_ID_ENV, DEFAULT_CLIENT_ID), "client id", 0, 2**31 - 1),
        timeout=_number(float, pick(timeout, TIMEOUT_ENV, DEFAULT_TIMEOUT), "connect timeout", 0.1, 600),
    )


def settings_for_words(settings: GatewaySettings, words: list[str]) -> GatewaySettings:
    """What ``connect [HOST] [PORT]`` names: a lone number is a port; a host without a port
    keeps the port (or the search of the usual ones) of ``settings``."""
    if len(words) > 2:
        raise SettingsError("usage: connect [HOST] [PORT]")
    host, port = settings.host, None
    if len(words) == 2:
        host, port = words
    elif words and words[0].isdigit():
        port = words[0]
    elif words:
        host = words[0]
    if not host.strip():
        raise SettingsError("the gateway host must not be empty")
    if port is None:
        return replace(settings, host=host.strip())
    return replace(settings, host=host.strip(), discover=False, port=_number(int, port, "gateway port", 1, 65535))


@contextmanager
def _quiet_client_log(enabled: bool):
    """Hide the client library's own complaints about a failed connect; we say it once ourselves."""
    if not enabled:
        yield
        return
    loggers = [logging.getLogger(n) for n in ("ib_async.client", "ib_async.ib", "ib_async.wrapper")]
    saved = [lg.disabled for lg in loggers]
    for lg in loggers:
        lg.disabled = True
    try:
        yield
    finally:
        for lg, was in zip(loggers, saved):
            lg.disabled = was


class GatewayLink:
    """Tracks whether the gateway connection of ``ib`` is usable right now."""

    def __init__(self, ib: Any, settings: GatewaySettings) -> None:
        self.ib = ib
        self.settings = settings
        self._up = False
        self._closing = False
        #: The client id of the connection: the configured one unless the gateway said it was taken.
        self.client_id = settings.client_id
        #: Why there is no connection, in a few words, for a failure's closing line.
        self.down_reason = "not tried"
        #: Off unless the prompt turns it on: a one-shot command has no later to reconnect for.
        self.reconnector = Reconnector(self.reconnect_once)
        ib.disconnectedEvent += self._on_disconnected

    @property
    def connected(self) -> bool:
        if not self._up:
            return False
        try:
            return bool(self.ib.isConnected())
        except Exception:
            return False

    async def connect(self, *, quiet: bool = True) -> bool:
        """Try the gateway (each usual port when none was named); on failure say why in one
        line and carry on without it."""
        s = self.settings
        self._closing = False
        self.reconnector.stop()
        bar_dates.install()
        ports = USUAL_PORTS if s.discover else (s.port,)
        with _quiet_client_log(quiet):
            # The configured id first, so a restarted console takes over its own session.
            attempts = await try_ports(self.ib, s.host, ports, s.client_id, s.timeout, CLIENT_ID_TRIES)
        if not attempts[-1].ok:
            self._up = False
            self.down_reason = short_failure(attempts)
            logger.warning("{}", failure_text(s.host, attempts, s.client_id))
            return False
        self.settings = replace(s, port=attempts[-1].port)
        self.client_id = attempts[-1].client_id
        self._up = True
        tried = list(dict.fromkeys(str(a.port) for a in attempts if a.port != attempts[-1].port))
        taken = "" if self.client_id == s.client_id else f"; {s.client_id} is in use"
        logger.info(
            "Connected to the gateway at {} (client id {}{}{})",
            self.settings.address,
            self.client_id,
            taken,
            f"; nothing on {', '.join(tried)}" if tried else "",
        )
        return True

    async def reconnect_once(self) -> bool:
        """One quiet attempt at the port last used, with the same client object and client id."""
        s = self.settings
        with _quiet_client_log(True):
            attempts = await try_ports(self.ib, s.host, (s.port,), self.client_id, s.timeout, CLIENT_ID_TRIES)
        if self._closing or not attempts[-1].ok:
            return False
        self.client_id = attempts[-1].client_id
        self._up = True
        logger.info("Reconnected to the gateway at {}", s.address)
        return True

    def retarget(self, settings: GatewaySettings) -> None:
        """Point at another gateway; a connection to the old one is closed, not told as lost."""
        self.close()
        self.settings = settings
        self.client_id = settings.client_id

    def close(self) -> None:
        self._closing = True
        self.reconnector.stop()
        was_up, self._up = self._up, False
        if was_up:
            try:
                self.ib.disconnect()
            except Exception as exc:
                logger.debug("Disconnect failed: {}", exc)

    def _on_disconnected(self, *args: Any) -> None:
        lost = self._up and not self._closing
        self._up = False
        if not lost:
            return
        self.down_reason = f"connection at {self.settings.address} lost"
        if self.reconnector.enabled:
            logger.warning("Gateway connection at {} lost; reconnecting in the background", self.settings.address)
            self.reconnector.start()
        else:
            logger.warning("Gateway connection at {} lost; running without one", self.settings.address)
