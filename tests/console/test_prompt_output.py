"""Log lines written while the prompt waits keep the prompt and the typed text intact."""

from __future__ import annotations

import io

import pytest

from corvane import prompt_output


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.skipif(prompt_output.readline is None, reason="no line editing in this Python")
def test_a_log_line_goes_above_the_prompt_which_is_drawn_again(monkeypatch):
    out, err = Terminal(), Terminal()
    monkeypatch.setattr("sys.stdout", out)
    monkeypatch.setattr("sys.stderr", err)
    monkeypatch.setattr(prompt_output.readline, "get_line_buffer", lambda: "sorvel AA")
    stream = prompt_output.PromptAwareStderr()

    stream.prompt_open("corvane> ")
    stream.write("gateway connection lost\n")
    assert err.getvalue() == "\r\x1b[Kgateway connection lost\n"
    assert out.getvalue() == "corvane> sorvel AA"

    stream.prompt_open(None)  # a command runs: plain lines again
    stream.write("done\n")
    assert err.getvalue().endswith("lost\ndone\n") and out.getvalue() == "corvane> sorvel AA"


def test_a_download_s_progress_is_redrawn_on_a_terminal_and_a_line_a_tenth_in_a_log():
    from corvane.history.download import Progress
    from ferrut.status_line import CLEAR, ProgressLine

    def drawn(stream):
        progress = Progress(70, ProgressLine(stream), plan="AAPL: 70 requests")
        progress.step(0)  # the plan, before the first request
        for _ in range(70):
            progress.step()
        progress.close()
        return stream.getvalue()

    log = drawn(io.StringIO()).splitlines()
    assert log[0] == "AAPL: 70 requests" and len(log) == 11 and log[-1].startswith(f"[{'█' * 24}] 70/70 requests")
    screen = drawn(Terminal())
    assert screen.count("AAPL: 70 requests") == 1 and screen.count(CLEAR) == 72 and screen.endswith(CLEAR)
