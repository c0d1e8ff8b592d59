"""Making a console: the one way the command line, the prompt, the owner's clients and scripts get one."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from corvane.candles import cache as sorvel_cache
from corvane.console import Console
from corvane.gateway.connection import GatewaySettings
from corvane.home import candles_path, home_dir, settings_path
from corvane.kvstore import KeyValueStore

if TYPE_CHECKING:
    from corvane.owner import ConsoleFactory


def make_console(
    settings: GatewaySettings,
    home: Path | None = None,
    *,
    around: Console | None = None,
    out: TextIO | None = None,
    err: TextIO | None = None,
    verbose: bool = False,
    interactive: bool = False,
    use_gateway: bool = True,
) -> Console:
    """A console for ``home``. Around another's (``around``, an attached client's around the
    owner's) it shares that one's settings, store and session, writing to ``out`` and ``err``;
    else it has a store of the home's and a session made on first use, and the candle cache
    keeps its entries in the home too (the first home's, when a process makes several).
    ``home`` defaults to ``$CORVANE_HOME``."""
    session = None
    if around is not None:
        settings, store, session = around.settings, around.store, around.session
        verbose, use_gateway = verbose or around.verbose, around.use_gateway
    else:
        home = home or home_dir()
        if sorvel_cache.default_store_path() is None:
            sorvel_cache.use_store(candles_path(home))
        store = KeyValueStore(settings_path(home))
    return Console(settings, store, verbose=verbose, interactive=interactive, use_gateway=use_gateway,
                   out=out, err=err, session=session)  # fmt: skip


def client_consoles(owner: Console) -> ConsoleFactory:
    """Makes each attached client's console: the owner's session, the client's streams and facts."""

    def make(*, out: TextIO, err: TextIO, verbose: bool, cwd: str, color: bool, width: int | None) -> Console:
        console = make_console(owner.settings, around=owner, out=out, err=err, verbose=verbose)
        console.views.cwd = cwd
        console.views.sink.color = color
        console.views.sink.width = width
        console.views.sink.logs = err
        return console

    return make
