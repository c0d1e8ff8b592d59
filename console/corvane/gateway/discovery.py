"""Finding the gateway: trying the usual ports in turn and saying plainly why each failed.

Gateways listen on 4001 (live) or 4002 (paper), workstations on 7496 or
7497. A newcomer who started one rarely knows which; without a port of
their own the console tries each. A failure is told as what it is, with
what to do: nothing listening, a client id another console holds (error
326), or a port that accepts but never answers the API handshake.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import Any

from corvane.gateway.error_watch import gateway_errors

#: Gateway live, gateway paper, workstation live, workstation paper.
USUAL_PORTS = (4001, 4002, 7496, 7497)
CLIENT_ID_IN_USE = 326


@dataclass(frozen=True)
class Attempt:
    port: int
    kind: str  # "connected", "refused", "timeout", "client id in use", "failed"
    detail: str = ""

    @property
    def ok(self) -> bool:
        return self.kind == "connected"


def _classify(port: int, exc: BaseException, said: list[str], timeout: float) -> Attempt:
    if any(line.startswith(f"error {CLIENT_ID_IN_USE}:") for line in said):
        return Attempt(port, "client id in use")
    if isinstance(exc, ConnectionRefusedError):
        return Attempt(port, "refused")
    if isinstance(exc, (TimeoutError, asyncio.TimeoutError)):
        return Attempt(port, "timeout", f"no answer within {timeout:g} s")
    return Attempt(port, "failed", str(exc) or type(exc).__name__)


async def try_ports(ib: Any, host: str, ports: tuple[int, ...], client_id: int,
                    timeout: float) -> list[Attempt]:
    """Connect ``ib`` to the first port that answers; one Attempt per port tried, in order."""
    attempts: list[Attempt] = []
    for port in ports:
        with gateway_errors(ib) as said:
            try:
                await ib.connectAsync(host, port, clientId=client_id, readonly=True,
                                      timeout=timeout)
            except asyncio.CancelledError:
                raise
            except Exception as exc:
                attempts.append(_classify(port, exc, said, timeout))
                if attempts[-1].kind == "client id in use":
                    break  # a gateway is there; another port would be a different account
                continue
        attempts.append(Attempt(port, "connected"))
        break
    return attempts


def failure_text(host: str, attempts: list[Attempt], client_id: int) -> str:
    """One line saying why no gateway could be used, and what to do about it."""
    last = attempts[-1]
    if last.kind == "client id in use":
        return (f"The gateway at {host}:{last.port} refused client id {client_id}: another "
                f"program is connected with it (error {CLIENT_ID_IN_USE}). Close that one or "
                f"pass --client-id with another number; running without a gateway")
    if len(attempts) == 1:
        return f"No gateway at {host}:{last.port} ({_reason(last)}); running without one"
    tried = ", ".join(f"{a.port} ({_reason(a)})" for a in attempts)
    return (f"No gateway at {host} on the usual ports: {tried}. Start one or pass --port; "
            f"running without one")


def _reason(attempt: Attempt) -> str:
    if attempt.kind == "refused":
        return "connection refused"
    if attempt.kind == "timeout":
        return f"{attempt.detail}: the port is open but the API did not answer; is it enabled?"
    return attempt.detail or attempt.kind
