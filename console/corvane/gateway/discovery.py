"""Finding the gateway: trying the usual ports in turn and saying plainly why each failed.

Gateways listen on 4001 (live) or 4002 (paper), workstations on 7496 or
7497. A newcomer who started one rarely knows which; without a port of
their own the console tries each. A failure is told as what it is, with
what to do: nothing listening, a client id another console holds (error
326), or a port that accepts but never answers the API handshake.
"""

from __future__ import annotations

import asyncio
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from corvane.gateway.error_watch import gateway_errors

#: Gateway live, gateway paper, workstation live, workstation paper.
USUAL_PORTS = (4001, 4002, 7496, 7497)
CLIENT_ID_IN_USE = 326
#: Client ids tried in turn, from the configured one up, while the gateway says each is in use:
#: a one-shot command still gets the gateway while a console holds the configured id.
CLIENT_ID_TRIES = 10
_LAST_CLIENT_ID = 2**31 - 1


@dataclass(frozen=True)
class Attempt:
    port: int
    kind: str  # "connected", "refused", "timeout", "client id in use", "failed"
    detail: str = ""
    client_id: int = 0

    @property
    def ok(self) -> bool:
        return self.kind == "connected"


def _classify(port: int, exc: BaseException, said: list[str], timeout: float, client_id: int) -> Attempt:
    if any(line.startswith(f"error {CLIENT_ID_IN_USE}:") for line in said):
        return Attempt(port, "client id in use", client_id=client_id)
    if isinstance(exc, ConnectionRefusedError):
        return Attempt(port, "refused", client_id=client_id)
    if isinstance(exc, (TimeoutError, asyncio.TimeoutError)):
        return Attempt(port, "timeout", f"no answer within {timeout:g} s", client_id)
    return Attempt(port, "failed", str(exc) or type(exc).__name__, client_id)


async def _try(ib: Any, host: str, port: int, client_id: int, timeout: float) -> Attempt:
    with gateway_errors(ib) as said, _refusal_of(ib, client_id) as refused:
        connecting = asyncio.ensure_future(
            ib.connectAsync(host, port, clientId=client_id, readonly=True, timeout=timeout)
        )
        try:
            await asyncio.wait((connecting, refused), return_when=asyncio.FIRST_COMPLETED)
            if not connecting.done():
                # The gateway said the id is taken and closed the connection; the client
                # would wait out its whole timeout for an API start that never comes.
                connecting.cancel()
                await asyncio.wait((connecting,))
                return Attempt(port, "client id in use", client_id=client_id)
            connecting.result()
        except asyncio.CancelledError:
            connecting.cancel()
            raise
        except Exception as exc:
            return _classify(port, exc, said, timeout, client_id)
    return Attempt(port, "connected", client_id=client_id)


@contextmanager
def _refusal_of(ib: Any, client_id: int) -> Iterator[asyncio.Future[None]]:
    """A future done as soon as the gateway answers the handshake with error 326."""
    refused: asyncio.Future[None] = asyncio.get_running_loop().create_future()
    event = getattr(ib, "errorEvent", None)

    def on_error(req_id: int, code: int, *more: Any) -> None:
        if code == CLIENT_ID_IN_USE and not refused.done():
            refused.set_result(None)

    if event is None:
        yield refused
        return
    event += on_error
    try:
        yield refused
    finally:
        event -= on_error


async def try_ports(
    ib: Any, host: str, ports: tuple[int, ...], client_id: int, timeout: float, id_tries: int = 1
) -> list[Attempt]:
    """Connect ``ib`` to the first port that answers; one Attempt per port and client id tried,
    in order. A client id in use is followed by the next ones, up to ``id_tries`` ids in all."""
    attempts: list[Attempt] = []
    ids = range(client_id, min(client_id + max(id_tries, 1), _LAST_CLIENT_ID + 1))
    for port in ports:
        for cid in ids:
            attempts.append(await _try(ib, host, port, cid, timeout))
            if attempts[-1].kind != "client id in use":
                break
        if attempts[-1].kind in ("connected", "client id in use"):
            break  # a gateway is there; another port would be a different account
    return attempts


def _taken(attempts: list[Attempt]) -> list[int]:
    """The client ids the gateway of the last attempt said were in use."""
    last = attempts[-1]
    return [a.client_id for a in attempts if a.kind == "client id in use" and a.port == last.port]


def failure_text(host: str, attempts: list[Attempt], client_id: int) -> str:
    """One line saying why no gateway could be used, and what to do about it."""
    last = attempts[-1]
    if last.kind == "client id in use":
        taken = _taken(attempts)
        who = (
            f"client id {client_id}: another program is connected with it"
            if len(taken) < 2
            else f"client ids {taken[0]} to {taken[-1]}: other programs are connected with them"
        )
        close = "that one" if len(taken) < 2 else "one"
        return (
            f"The gateway at {host}:{last.port} refused {who} (error {CLIENT_ID_IN_USE}). "
            f"Close {close} or pass --client-id with another number; running without a gateway"
        )
    if len(attempts) == 1:
        return f"No gateway at {host}:{last.port} ({_reason(last)}); running without one"
    tried = ", ".join(f"{a.port} ({_reason(a)})" for a in attempts)
    return f"No gateway at {host} on the usual ports: {tried}. Start one or pass --port; running without one"


def short_failure(attempts: list[Attempt]) -> str:
    """Why no gateway could be used, in a few words ("nothing listening on 4001, 4002")."""
    last = attempts[-1]
    if last.kind == "client id in use":
        taken = _taken(attempts)
        ids = f"client id {taken[0]}" if len(taken) < 2 else f"client ids {taken[0]} to {taken[-1]}"
        return f"{ids} in use on {last.port}"
    said: dict[str, list[str]] = {}
    for a in attempts:
        what = {"refused": "nothing listening on", "timeout": "no API answer on"}.get(
            a.kind, f"{a.detail or a.kind} on"
        )
        said.setdefault(what, []).append(str(a.port))
    return "; ".join(f"{what} {', '.join(ports)}" for what, ports in said.items())


def _reason(attempt: Attempt) -> str:
    if attempt.kind == "refused":
        return "connection refused"
    if attempt.kind == "timeout":
        return f"{attempt.detail}: the port is open but the API did not answer; is it enabled?"
    return attempt.detail or attempt.kind
