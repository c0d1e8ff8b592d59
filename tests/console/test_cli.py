"""The corvane command line: exit statuses, messages, help, and the prompt fed from a pipe."""

from __future__ import annotations

import signal
import subprocess
import textwrap
import sys
import time

import pytest
from conftest import console_env, run_console

from corvane.cli import main


def run(capsys, *args: str):
    status = main(["--no-gateway", *args])
    out, err = capsys.readouterr()
    return status, out, err


class TestOneCommand:
    def test_success_prints_table_then_summary_and_logs_apart(self, capsys):
        status, out, err = run(capsys, "fakebars", "aapl", "2")
        assert status == 0
        lines = out.splitlines()
        assert lines[0] == "AAPL day (2 bars)"
        assert lines[-1] == "AAPL 2 bars from fake"
        assert "made 2 bars" in err and "made 2 bars" not in out

    def test_error_result_exits_1_with_the_error(self, capsys):
        status, out, err = run(capsys, "fakebars")
        assert status == 1
        assert "error: No symbol provided" in err

        status, _, err = run(capsys, "fakebars", "nodata")
        assert status == 1 and "error: NODATA: No data returned" in err

    def test_exception_is_a_message_and_only_verbose_shows_the_traceback(self, capsys):
        status, out, err = run(capsys, "fakeboom")
        assert status == 1
        assert "fakeboom failed: RuntimeError: kaboom" in err
        assert "Traceback" not in err + out

        status, _, err = run(capsys, "-v", "fakeboom")
        assert status == 1 and "Traceback" in err and 'raise RuntimeError("kaboom")' in err

    @pytest.mark.parametrize("words, message", [
        (["fakecount"], "missing argument: n"),
        (["fakecount", "x"], "bad value for n: 'x'"),
        (["fakecount", "1", "2"], "unexpected words: 2"),
        (["nosuch"], "unknown command 'nosuch'"),
        (["fakebar"], "Did you mean: fakebars"),
    ])
    def test_words_that_do_not_fit_exit_2_without_traceback(self, capsys, words, message):
        status, out, err = run(capsys, *words)
        assert status == 2
        assert message in err
        assert "Traceback" not in out + err

    @pytest.mark.parametrize("words, env, message", [
        (["--last", "1000000000"], {}, "bars of 1d reach back before 1900-01-01; at most"),
        (["--start", "0001-01-01"], {}, "start must be a day from 1900-01-01"),
        (["--start", "2025-01-02", "--end", "9999-12-31", "--interval", "1m"], {}, "end must be a day from"),
        ([f"S{i}" for i in range(1000)] + ["--last", "5"], {}, "1,001 symbols in one download; at most 1,000"),
        (["--last", "5"], {"CORVANE_PACE_SCALE": "0"}, "CORVANE_PACE_SCALE must be a positive number"),
    ])
    def test_download_refuses_what_it_cannot_hold_with_exit_2_and_writes_nothing(
        self, capsys, monkeypatch, private_home, words, env, message
    ):
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        status, out, err = run(capsys, "download", "AAPL", "--source", "ibkr", *words)
        assert status == 2 and message in err
        assert "internal error" not in err and "Traceback" not in out + err
        assert not (private_home / "bars").exists()

    def test_bad_options_exit_2(self, capsys):
        assert main(["--port", "abc", "fakebars", "x"]) == 2
        assert "gateway port must be a number" in capsys.readouterr().err
        assert main(["--frobnicate"]) == 2
        assert main(["--help"]) == 0
        assert "exit status" in capsys.readouterr().out

    def test_words_after_the_command_belong_to_it_even_with_dashes(self, capsys):
        status, _, err = run(capsys, "fakebars", "x", "-v")
        # "-v" reached the command as its count word (and failed there): it did not
        # switch the console to verbose.
        assert status == 1 and "fakebars failed: ValueError" in err
        assert "Traceback" not in err

    def test_a_word_with_options_of_its_own_gets_them_from_either_side_and_the_console_the_rest(self):
        from corvane import command_line

        # download writes every symbol with its own --export; --rows and --chart are the console's.
        args, view = command_line.parse(["--export", "a.csv", "--rows", "2", "download", "AAPL", "--chart",
                                         "--last", "3", "--port", "4002"])
        assert (args.command, args.words, args.port) == ("download", ["AAPL", "--last", "3", "--export", "a.csv"], "4002")
        assert (view.rows, view.chart, view.export) == (2, "", None)

    def test_a_command_that_needs_the_gateway_is_refused_without_one(self, capsys):
        status, _, err = run(capsys, "fakegw")
        assert status == 1 and "needs a gateway connection" in err


class TestHelp:
    def test_listing_groups_commands_by_category(self, capsys):
        status, out, _ = run(capsys, "help")
        assert status == 0
        lines = out.splitlines()
        at = lines.index("  Test Tools")
        assert lines[at + 1].split()[:2] == ["fakebars", "Print"]
        assert "connect" not in out  # a prompt-only word

    def test_command_help_is_its_dedented_docstring(self, capsys):
        status, out, _ = run(capsys, "help", "fakebars")
        assert status == 0
        assert out.splitlines() == ["Print made-up bars for a symbol.", "", "Usage:",
                                    "    fakebars <symbol> [count]"]

    def test_every_console_word_has_help(self, capsys):
        for word in ("help", "group", "ungroup", "quote", "unquote", "quotes", "cache", "connect",
                     "rows", "chart", "export", "exit", "quit"):
            status, out, err = run(capsys, "help", word)
            assert status == 0 and err == "", word
            usage = out.splitlines()[0]
            assert usage.startswith("usage: ") and len(out.splitlines()) >= 2, out
        assert "--force" in run(capsys, "help", "export")[1]
        assert "at the prompt only" in run(capsys, "help", "chart")[1]
        assert "at the prompt only" not in run(capsys, "help", "quote")[1]
        # A command's name is looked up as a command first, so no console word may carry one.
        from corvane.cmds.base import COMMANDS
        from corvane.words.registry import registry

        assert COMMANDS and not set(COMMANDS) & set(registry())

    def test_the_word_table_names_every_word_where_it_lives(self):
        # A word added to a module but not to the table would be unreachable, and the reverse
        # would crash the first time it is typed.
        import importlib

        from corvane.words.registry import WORD_TABLE

        held = {w.name: m for m in set(WORD_TABLE.values()) for w in importlib.import_module(m).WORDS}
        assert held == WORD_TABLE

    def test_help_for_an_unknown_command_exits_2(self, capsys):
        status, _, err = run(capsys, "help", "nosuch")
        assert status == 2 and "unknown command" in err


class TestChildProcess:
    def test_help_imports_neither_the_client_library_nor_pandas(self, private_home):
        probe = ("import sys; from corvane.cli import main; status = main(sys.argv[1:]); "
                 "print(status, sorted({m.split('.')[0] for m in sys.modules} & {'ib_async', 'pandas'}))")

        def heavy(*args: str) -> str:
            done = subprocess.run([sys.executable, "-c", probe, *args], capture_output=True, text=True,
                                  timeout=60, env=console_env(private_home))
            return done.stdout.splitlines()[-1]

        assert heavy("--help") == "0 []"
        heavy("help")  # the first help loads the command modules and keeps what help shows
        assert heavy("help") == "0 []"
        assert heavy("help", "fakebars") == "0 []"
        assert "Print made-up bars" in run_console(private_home, "help").stdout
        # A catalog it cannot trust means loading the modules again.
        (private_home / "commands.json").write_text("{}")
        assert heavy("help") == "0 ['ib_async', 'pandas']"

    def test_a_console_words_one_shot_loads_no_command_and_no_other_word(self, private_home):
        probe = ("import sys; from corvane.cli import main; status = main(sys.argv[1:]); "
                 "print(status, sorted(m for m in sys.modules if m.startswith(('corvane.cmds.', 'corvane.words.', "
                 "'fake_commands')) and m != 'corvane.cmds.base'))")
        done = subprocess.run([sys.executable, "-c", probe, "--no-gateway", "download", "AAPL", "--last", "2",
                               "--source", "ibkr"], capture_output=True, text=True, timeout=60,
                              env=console_env(private_home))
        assert "needs a gateway" in done.stderr
        # Its own module, the registry, and the quote words it reads groups through; nothing else.
        assert done.stdout.splitlines()[-1] == ("2 ['corvane.words.base', 'corvane.words.download', "
                                                "'corvane.words.quotes', 'corvane.words.registry']")

    def test_python_m_corvane_runs_one_command(self, private_home):
        done = run_console(private_home, "--no-gateway", "fakebars", "msft", "1")
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines()[-1] == "MSFT 1 bar from fake"

    def test_a_script_sees_warnings_plainly_and_never_the_client_librarys_own_lines(self, private_home):
        script = textwrap.dedent("""
            import logging, corvane
            from loguru import logger
            print(corvane.run("--no-gateway fakebars msft 1")["symbol"])
            logger.debug("a debug line"); logger.info("an info line"); logger.warning("a warning")
            logging.getLogger("ib_async.wrapper").error("Error 200, reqId 5: No security definition")
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                              env=console_env(private_home))
        assert done.returncode == 0 and done.stdout == "MSFT\n", done.stderr
        said = done.stderr.splitlines()
        assert len(said) == 1 and said[0].endswith(" WARNING: a warning") and "\x1b" not in done.stderr

    def test_a_module_that_fails_to_import_is_told_once_and_the_rest_works(self, private_home, tmp_path):
        (tmp_path / "broken_cmd.py").write_text("raise ImportError('needs a missing library')\n")
        done = run_console(private_home, "--no-gateway", "fakebars", "x", "1",
                           CORVANE_COMMAND_MODULES="fake_commands,broken_cmd",
                           PYTHONPATH=console_env(private_home)["PYTHONPATH"] + ":" + str(tmp_path))
        assert done.returncode == 0
        told = [ln for ln in done.stderr.splitlines() if "broken_cmd" in ln]
        assert told == ["corvane: command module broken_cmd not loaded (ImportError: needs a missing library)"]

    def test_a_reader_that_stops_early_is_no_failure(self, private_home):
        # `corvane ... | head -1`: the rest of the table has nowhere to go, and the command
        # must neither fail nor go looking for the bars elsewhere.
        child = subprocess.Popen([sys.executable, "-m", "corvane", "--no-gateway", "--rows", "all",
                                  "fakebars", "aapl", "3000"], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=console_env(private_home))
        assert child.stdout.readline().startswith(b"AAPL")
        child.stdout.close()
        err = child.stderr.read().decode()
        assert child.wait(timeout=60) == 0, err
        assert "Error" not in err and "Exception ignored" not in err

    def test_ctrl_c_cancels_the_pending_request(self, private_home):
        child = subprocess.Popen([sys.executable, "-m", "corvane", "--no-gateway", "fakewait"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=console_env(private_home),
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            # Wait until the command is really waiting on its request.
            told = ""
            deadline = time.monotonic() + 30
            while "waiting on the request" not in told and time.monotonic() < deadline:
                line = child.stderr.readline()
                if not line:  # it ended by itself: the assertions below say how
                    break
                told += line
            child.send_signal(signal.SIGINT)
            _, err = child.communicate(timeout=30)
            err = told + err
        finally:
            child.kill()
        assert child.returncode == 130, err
        assert "request cancelled" in err and "fakewait: cancelled" in err
        assert "Traceback" not in err

    def test_prompt_survives_errors_and_leaves_at_end_of_input(self, private_home):
        lines = "help\nfakebars aapl 1\nfakecount\nfakeboom\nnosuch\n'unclosed\nfakebars msft 1\n"
        done = run_console(private_home, "--no-gateway", stdin=lines)
        assert done.returncode == 0
        assert "Test Tools" in done.stdout and "exit" in done.stdout  # prompt words listed
        assert "AAPL 1 bar from fake" in done.stdout
        assert "MSFT 1 bar from fake" in done.stdout  # still running after four failures
        for said in ("missing argument: n", "fakeboom failed", "unknown command", "No closing quotation"):
            assert said in done.stderr
        assert "Traceback" not in done.stderr
        # A second session finds the history file of the first.
        assert run_console(private_home, "--no-gateway", stdin="exit\n").returncode == 0

    def test_quote_groups_set_at_one_run_are_there_at_the_next(self, private_home):
        pytest.importorskip("corvane.cmds.quote_mgmt.tessik", reason="tessik is not built here")
        assert run_console(private_home, "group", "tech", "aapl", "msft").returncode == 0
        done = run_console(private_home, "--no-gateway", "tessik")
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "1 quote group: tech: AAPL MSFT"
