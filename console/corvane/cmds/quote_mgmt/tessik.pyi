# Types of the native tessik module, for type checkers and editors.
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import ClassVar

from loguru import logger as logger

from corvane.cmds.base import IOp as IOp
from corvane.cmds.base import command as command
from corvane.helpers import Future as Future
from corvane.helpers import nameForContract as nameForContract
from ferrut.dispatch import DArg as DArg

# {"result": {"groups": {name: {"symbols": [...], "live": [...]}}}}
_Listing = dict[str, dict[str, dict[str, dict[str, list[str]]]]]

@dataclass
class IOpQuoteList(IOp):
    groups: set[str] = field(init=False)
    requires_gateway: ClassVar[bool]

    def argmap(self) -> list[DArg]: ...
    async def run(self) -> _Listing: ...
