"""_yf_history: the blocking yfinance download on a worker thread, the proxy
taken from the environment, and every ordinary failure as a logged None."""

from __future__ import annotations

import sys
import threading

import pytest

from sorvel_q_doubles import run, yf_daily_frame


async def _fetch(cmd, **kwargs):
    return threading.get_ident(), await cmd._yf_history(**kwargs)


def test_download_runs_on_a_worker_thread_with_the_keywords_unchanged(command, yf, log):
    frame = yf_daily_frame(2)
    yf.answer = frame
    loop_thread, result = run(_fetch(command("MSFT"), start="2025-01-01", interval="1d", auto_adjust=True))
    assert result is frame
    (call,) = yf.calls
    assert call.symbol == "MSFT"
    assert call.kwargs == [("start", "2025-01-01"), ("interval", "1d"), ("auto_adjust", True)]
    assert call.thread != loop_thread
    assert log.calls == []


def test_symbol_is_read_when_the_download_runs(command, yf):
    cmd = command("AAPL")

    async def main():
        pending = cmd._yf_history(period="1d")
        cmd.symbol = "MSFT"
        return await pending

    run(main())
    assert yf.calls[0].symbol == "MSFT"


def test_only_keywords_are_accepted(command, yf):
    with pytest.raises(TypeError):
        command()._yf_history("1d")


def test_empty_frame_is_returned_without_a_log_line(command, yf, log):
    yf.answer = yf_daily_frame(0)
    _, result = run(_fetch(command(), period="1d"))
    assert result is yf.answer and result.empty
    assert log.calls == []


class TestProxy:
    def test_environment_proxy_serves_both_schemes_before_the_ticker_exists(self, command, yf, monkeypatch):
        monkeypatch.setenv("HTTPS_PROXY", "http://10.0.0.1:3128")
        run(_fetch(command(), period="1d"))
        expected = {"https": "http://10.0.0.1:3128", "http": "http://10.0.0.1:3128"}
        assert yf.calls[0].proxy_at_ticker == expected
        assert yf.module.config.network.proxy == expected

    @pytest.mark.parametrize("value", [None, ""])
    def test_absent_or_empty_leaves_the_setting_alone(self, command, yf, monkeypatch, value):
        earlier = {"https": "http://earlier:1", "http": "http://earlier:1"}
        yf.module.config.network.proxy = earlier
        if value is not None:
            monkeypatch.setenv("HTTPS_PROXY", value)
        monkeypatch.setenv("https_proxy", "http://lowercase-is-not-read:9")
        run(_fetch(command(), period="1d"))
        assert yf.module.config.network.proxy is earlier


class TestFailures:
    def test_missing_yfinance(self, command, monkeypatch, log):
        monkeypatch.setitem(sys.modules, "yfinance", None)
        _, result = run(_fetch(command(), period="1d"))
        assert result is None
        ((level, template, args),) = log.calls
        assert (level, template, args[0]) == ("ERROR", "[{}] yfinance fetch failed: {}", "AAPL")
        assert isinstance(args[1], ImportError) and "yfinance" in str(args[1])
        # the line reaches loguru's sinks from the worker thread
        assert log.lines == [("ERROR", f"[AAPL] yfinance fetch failed: {args[1]}")]

    def test_download_error(self, command, yf, log):
        yf.answer = KeyError("no such ticker")
        _, result = run(_fetch(command("NOPE"), period="1d"))
        assert result is None
        assert log.shown() == [("ERROR", "[{}] yfinance fetch failed: {}", ("NOPE", "'no such ticker'"))]

    def test_non_ordinary_exceptions_are_not_swallowed(self, command, yf, log):
        class Halt(BaseException):
            pass

        yf.answer = Halt()
        with pytest.raises(Halt):
            run(_fetch(command(), period="1d"))
        assert log.calls == []
