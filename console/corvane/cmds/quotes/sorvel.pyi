# Types of the native sorvel module, for type checkers and editors.
import asyncio as asyncio
import copy as copy
import datetime as datetime
import math as math
import re as re
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any, ClassVar

import pandas as pd
from ib_async import Contract as Contract
from loguru import logger as logger

from corvane.cmds.base import IOp as IOp
from corvane.cmds.base import command as command
from corvane.gateway.sorvel_cache import SorvelCache as SorvelCache
from corvane.helpers import Future as Future
from corvane.helpers import nameForContract as nameForContract
from ferrut.dispatch import DArg as DArg
from ferrut.frame import printFrame as printFrame

PERIOD_MAP: dict[str, str]
ADJUST_KEYWORDS: set[str]
BAR_SECONDS: dict[str, int]
PERIOD_DEFAULT_COUNT: dict[str, int]
DURATION_FACTOR: dict[str, float]
YF_PERIOD: dict[str, str]
YF_INTERVAL: dict[str, str]

_sorvel_cache: SorvelCache | None

def _get_cache() -> SorvelCache: ...
def _is_date(s: str) -> bool: ...
def _is_period(s: str) -> bool: ...
def _parse_date(s: str) -> datetime.date: ...
def _calc_duration(back_days: int) -> str: ...
def _strip_tz(df: pd.DataFrame) -> pd.DataFrame: ...
def _normalize_yfinance_df(hist: pd.DataFrame) -> pd.DataFrame: ...

# A result record: "bars" (a list of bar records keyed date, open, high, low,
# close, volume, average, barCount) and the query's own keys, or "error".
_Record = dict[str, Any]

@dataclass
class IOpSorvel(IOp):
    symbol: str = field(init=False)
    rest: list[str] = field(init=False)
    requires_gateway: ClassVar[bool]

    def argmap(self) -> list[DArg]: ...
    async def run(self) -> _Record: ...
    async def _sorvel(self, contract: Contract, rest: list[str]) -> _Record: ...
    async def _history(self, contract: Contract, rest: list[str]) -> _Record: ...
    async def _intraday(self, contract: Contract) -> _Record: ...
    async def _yf_history(self, **kwargs: Any) -> pd.DataFrame | None: ...
    async def _run_yfinance(self, rest: list[str]) -> _Record: ...
    async def _sorvel_yfinance(self, rest: list[str]) -> _Record: ...
    async def _history_yfinance(self, rest: list[str]) -> _Record: ...
    async def _intraday_yfinance(self) -> _Record: ...
