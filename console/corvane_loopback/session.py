"""One client connection: the handshake, then an answer to each request the client sends."""

from __future__ import annotations

import asyncio
from collections.abc import Hashable
from typing import Protocol

from loguru import logger

from .behaviour import Behaviour
from .client_limits import MAX_ANSWERS_IN_FLIGHT, ClientLimits, IdleWatch, wait_for_room
from .contracts import ContractQuery, details_fields, resolve
from .farm import FarmLine
from .history import NO_DEFINITION, answer, head_timestamp
from .history_request import HMDS, HistoryRequest, Refusal
from .market_calendar import local
from .market_data import MarketDataFeed
from .pacing import OPEN_LIMIT, Pacer
from .wire import (
    Fields,
    ProtocolError,
    encode,
    negotiate,
    read_frame,
    read_handshake,
    split_fields,
)

# incoming message ids (client requests)
REQ_MKT_DATA, CANCEL_MKT_DATA = 1, 2
REQ_OPEN_ORDERS, REQ_ACCOUNT_UPDATES, REQ_EXECUTIONS, REQ_IDS, REQ_CONTRACT_DETAILS = 5, 6, 7, 8, 9
REQ_AUTO_OPEN_ORDERS, REQ_ALL_OPEN_ORDERS, REQ_MANAGED_ACCOUNTS = 15, 16, 17
REQ_HISTORICAL_DATA, CANCEL_HISTORICAL_DATA, REQ_CURRENT_TIME = 20, 25, 49
REQ_MARKET_DATA_TYPE, REQ_POSITIONS, REQ_ACCOUNT_SUMMARY, CANCEL_POSITIONS = 59, 61, 62, 64
START_API, REQ_POSITIONS_MULTI, REQ_ACCOUNT_UPDATES_MULTI, CANCEL_ACCOUNT_UPDATES_MULTI = 71, 74, 76, 77
REQ_HEAD_TIMESTAMP, CANCEL_HEAD_TIMESTAMP, REQ_COMPLETED_ORDERS = 87, 90, 99

# outgoing message ids
ERR_MSG, ACCT_UPDATE_TIME, NEXT_VALID_ID, CONTRACT_DATA, MANAGED_ACCTS = 4, 8, 9, 10, 15
CURRENT_TIME, CONTRACT_DATA_END, OPEN_ORDER_END, ACCT_DOWNLOAD_END = 49, 52, 53, 54
EXECUTION_DATA_END, POSITION_END, ACCOUNT_SUMMARY_END = 55, 62, 64
POSITION_MULTI_END, ACCOUNT_UPDATE_MULTI_END, HEAD_TIMESTAMP, COMPLETED_ORDERS_END = 72, 74, 88, 102

CLIENT_ID_IN_USE = "Unable to connect as the client id is already in use. Retry with a unique client id."

# what the real gateway reports about its data farms right after a client starts the API
_FARM_NOTICES = (
    (2104, "Market data farm connection is OK:usfarm"),
    (2106, "HMDS data farm connection is OK:ushmds"),
    (2158, "Sec-def data farm connection is OK:secdefnj"),
)


class Gateway(Protocol):
    behaviour: Behaviour
    limits: ClientLimits
    pacer: Pacer | None

    def open_history_requests(self) -> int: ...
    def farm_line(self) -> FarmLine | None: ...

    def claim_client_id(self, client_id: int, session: ClientSession) -> bool: ...
    def release(self, session: ClientSession) -> None: ...
    def record_history(self, request: HistoryRequest) -> int: ...
    def record_cancel(self, req_id: int) -> None: ...
    def record_market_data(self, request) -> None: ...
    def disconnect_all(self) -> int: ...


class ClientSession:
    def __init__(self, gateway: Gateway, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.gateway = gateway
        self.reader = reader
        self.writer = writer
        self.client_id: int | None = None
        self.version = 0
        self._pending: dict[int, asyncio.Task] = {}
        self._next_order_id = 1
        # each connection has its own place at the farm: another client's load does not slow it
        self._farm = gateway.farm_line()
        behaviour = gateway.behaviour
        self.market_data = MarketDataFeed(
            self._send, self._error, behaviour.now, behaviour.quotes, gateway.record_market_data
        )
        self._idle = IdleWatch(gateway.limits.idle_timeout, self.drop, busy=lambda: self.market_data.streams > 0)
        self._handlers = {
            REQ_MKT_DATA: self.market_data.request,
            CANCEL_MKT_DATA: self.market_data.cancel,
            START_API: self._start_api,
            REQ_CONTRACT_DETAILS: self._contract_details,
            REQ_HISTORICAL_DATA: self._historical_data,
            CANCEL_HISTORICAL_DATA: self._cancel_historical_data,
            REQ_HEAD_TIMESTAMP: self._head_timestamp,
            CANCEL_HEAD_TIMESTAMP: lambda f: None,  # answered at once, nothing stays open
            REQ_IDS: lambda f: self._send(NEXT_VALID_ID, 1, self._next_order_id),
            REQ_MANAGED_ACCOUNTS: lambda f: self._send(MANAGED_ACCTS, 1, self.gateway.behaviour.account),
            REQ_CURRENT_TIME: lambda f: self._send(CURRENT_TIME, 1, int(self.gateway.behaviour.now().timestamp())),
            REQ_POSITIONS: lambda f: self._send(POSITION_END, 1),
            REQ_OPEN_ORDERS: lambda f: self._send(OPEN_ORDER_END, 1),
            REQ_ALL_OPEN_ORDERS: lambda f: self._send(OPEN_ORDER_END, 1),
            REQ_COMPLETED_ORDERS: lambda f: self._send(COMPLETED_ORDERS_END),
            REQ_ACCOUNT_UPDATES: self._account_updates,
            REQ_ACCOUNT_UPDATES_MULTI: lambda f: self._end_for_req_id(f, ACCOUNT_UPDATE_MULTI_END),
            REQ_POSITIONS_MULTI: lambda f: self._end_for_req_id(f, POSITION_MULTI_END),
            REQ_ACCOUNT_SUMMARY: lambda f: self._end_for_req_id(f, ACCOUNT_SUMMARY_END),
            REQ_EXECUTIONS: lambda f: self._end_for_req_id(f, EXECUTION_DATA_END),
            # subscriptions that need no answer from an account without orders or positions
            REQ_AUTO_OPEN_ORDERS: lambda f: None,
            REQ_MARKET_DATA_TYPE: lambda f: None,
            CANCEL_POSITIONS: lambda f: None,
            CANCEL_ACCOUNT_UPDATES_MULTI: lambda f: None,
        }

    # -- connection lifetime ------------------------------------------------------------

    async def serve(self) -> None:
        self.writer.transport.set_write_buffer_limits(high=self.gateway.limits.write_buffer_limit)
        self._idle.start()
        try:
            low, high = await read_handshake(self.reader)
            self._idle.activity()
            version = negotiate(low, high)
            if version is None:
                logger.warning("loopback gateway: client offers protocol v{}..{}, which it does not speak", low, high)
                return
            self.version = version
            now = local(self.gateway.behaviour.now())
            self._send(version, now.strftime("%Y%m%d %H:%M:%S ") + (now.tzname() or ""))
            # Under the broker's rules each answer is small (the step sizes see to it), so a
            # client may keep as many open as the real gateway allows, and one more is read
            # to be refused.
            in_flight = OPEN_LIMIT + 1 if self.gateway.pacer is not None else MAX_ANSWERS_IN_FLIGHT
            while True:
                # A client that does not read what it asked for is not read from either.
                await wait_for_room(self.writer, self._pending, in_flight)
                payload = await read_frame(self.reader)
                self._idle.activity()
                self._dispatch(split_fields(payload))
        except (asyncio.IncompleteReadError, ConnectionError):
            pass  # the client went away; nothing is owed to it
        except ProtocolError as exc:
            logger.warning("loopback gateway: dropping a client that broke the protocol: {}", exc)
        except Exception:
            logger.exception("loopback gateway: dropping a client after an internal error")
        finally:
            self._idle.stop()
            self.drop()

    @property
    def open_history(self) -> int:
        """Bars requests of this client not yet answered."""
        return len(self._pending)

    def drop(self) -> None:
        """Close the connection at once; answers still being prepared are abandoned."""
        for task in self._pending.values():
            task.cancel()
        self._pending.clear()
        self.market_data.stop()
        if not self.writer.is_closing():
            self.writer.close()
        self.gateway.release(self)

    def _send(self, *fields: object) -> None:
        if not self.writer.is_closing():
            self.writer.write(encode(*fields))

    def _error(self, req_id: int, code: int, text: str) -> None:
        self._send(ERR_MSG, 2, req_id, code, text, "")

    def _dispatch(self, items: list[str]) -> None:
        if not items:
            return
        fields = Fields(items, 1)
        try:
            handler = self._handlers.get(int(items[0]))
            if handler is None:
                logger.debug("loopback gateway: ignoring unsupported message {}", items[0])
                return
            handler(fields)
        except (ProtocolError, ValueError) as exc:
            # the real gateway answers a malformed request this way and keeps the connection
            self._error(-1, 320, f"Error reading request. Message id {items[0]}: {exc}")

    # -- handshake and account bookkeeping ----------------------------------------------

    def _start_api(self, fields: Fields) -> None:
        if self.client_id is not None:
            return
        fields.skip()  # version
        client_id = fields.next_int()
        if not self.gateway.claim_client_id(client_id, self):
            self._error(-1, 326, CLIENT_ID_IN_USE)
            self.drop()
            return
        self.client_id = client_id
        self._send(MANAGED_ACCTS, 1, self.gateway.behaviour.account)
        self._send(NEXT_VALID_ID, 1, self._next_order_id)
        for code, text in _FARM_NOTICES:
            self._error(-1, code, text)

    def _account_updates(self, fields: Fields) -> None:
        fields.skip()  # version
        if not fields.next_bool():
            return
        account = fields.next_text() or self.gateway.behaviour.account
        self._send(ACCT_UPDATE_TIME, 1, local(self.gateway.behaviour.now()).strftime("%H:%M"))
        self._send(ACCT_DOWNLOAD_END, 1, account)

    def _end_for_req_id(self, fields: Fields, end_message: int) -> None:
        fields.skip()  # version
        self._send(end_message, 1, fields.next_int())

    # -- contracts -------------------------------------------------------------------------

    def _contract_details(self, fields: Fields) -> None:
        fields.skip()  # version
        req_id = fields.next_int()
        query = ContractQuery.read(fields)
        today = local(self.gateway.behaviour.now()).date()
        found = resolve(query, today)
        if not found:
            self._error(req_id, 200, NO_DEFINITION)
            return
        for inst in found:
            self._send(*details_fields(req_id, inst, query, today))
        self._send(CONTRACT_DATA_END, 1, req_id)

    # -- historical bars ---------------------------------------------------------------

    def _historical_data(self, fields: Fields) -> None:
        request = HistoryRequest.read(fields)
        ordinal = self.gateway.record_history(request)
        limit = self.gateway.behaviour.drop_after_history_requests
        if limit is not None and ordinal > limit:
            logger.info("loopback gateway: dropping every connection at bars request {} as configured", ordinal)
            self.gateway.disconnect_all()
            return
        if not self._paced(request):
            return
        previous = self._pending.pop(request.req_id, None)
        if previous:
            previous.cancel()
        self._pending[request.req_id] = asyncio.create_task(self._answer_history(request))

    def _paced(self, request: HistoryRequest) -> bool:
        """False, with the real gateway's error sent, when the broker's pacing refuses ``request``."""
        pacer = self.gateway.pacer
        if pacer is None:
            return True
        try:
            pacer.admit_request(request, self._contract_key(request.contract), self.gateway.open_history_requests())
        except Refusal as refusal:
            self._error(request.req_id, refusal.code, refusal.text)
            return False
        return True

    def _contract_key(self, contract: ContractQuery) -> Hashable:
        # one contract however the client describes it (by id, symbol or local symbol)
        found = resolve(contract, local(self.gateway.behaviour.now()).date())
        return (found[0].sec_type, found[0].con_id) if len(found) == 1 else contract

    async def _answer_history(self, request: HistoryRequest) -> None:
        try:
            with self._idle.preparing():
                delay = self.gateway.behaviour.history_delay
                if delay:
                    await asyncio.sleep(delay)  # a test's hold on the answer, not farm time: it takes no slot
                if self._farm is None:
                    payload = await self._history_payload(request)
                else:
                    payload = await self._farm.serve(lambda: self._history_payload(request))
            if not self.writer.is_closing():
                self.writer.write(payload)
                await self.writer.drain()
                self._idle.activity()
        except ConnectionError:
            pass
        finally:
            if self._pending.get(request.req_id) is asyncio.current_task():
                del self._pending[request.req_id]

    async def _history_payload(self, request: HistoryRequest) -> bytes:
        behaviour = self.gateway.behaviour
        loop = asyncio.get_running_loop()
        try:
            # bars for a year of minutes take a moment to build; other clients need not wait
            return await loop.run_in_executor(None, answer, request, behaviour.now(), behaviour.policy)
        except Refusal as refusal:
            return encode(ERR_MSG, 2, request.req_id, refusal.code, refusal.text, "")
        except Exception:
            logger.exception("loopback gateway: building bars for {} failed", request)
            return encode(ERR_MSG, 2, request.req_id, 162, HMDS + "internal error of the loopback gateway", "")

    def _head_timestamp(self, fields: Fields) -> None:
        req_id = fields.next_int()
        contract = ContractQuery.read(fields)
        fields.skip()  # include expired
        use_rth = fields.next_bool()
        what_to_show = fields.next_text()
        format_date = fields.next_int()
        behaviour = self.gateway.behaviour
        try:
            text = head_timestamp(contract, use_rth, what_to_show, format_date, behaviour.now(), behaviour.policy)
        except Refusal as refusal:
            self._error(req_id, refusal.code, refusal.text)
            return
        self._send(HEAD_TIMESTAMP, req_id, text)

    def _cancel_historical_data(self, fields: Fields) -> None:
        fields.skip()  # version
        req_id = fields.next_int()
        task = self._pending.pop(req_id, None)
        if task:
            task.cancel()
        self.gateway.record_cancel(req_id)
