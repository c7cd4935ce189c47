"""The Python binding against the printer simulator on COM1 (run by
bindings/run_with_simulator.sh, which sets MOLDRIN_COM1 and MOLDRIN_ROOT)."""
import os
import subprocess
import sys

import pytest

import moldrin

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(autouse=True)
def default_operator():
    yield
    moldrin.set_operator()


def test_session_exchange_and_reread():
    with moldrin.Session(port=1, timeout=5) as ecf:
        reply = ecf.send("\x1B.271}")
        assert reply.startswith(".+C") and reply.endswith("}") and len(reply) == 128
        assert ecf.read() == reply  # reading does not consume the reply
        assert ecf.log_path().startswith("c:\\TEMP\\ECF-")
    assert moldrin.version() == "Moldrin 3, 0, 0, 19"


def test_failing_calls_carry_their_result_code_and_reply():
    with moldrin.Session(port=1, timeout=5) as ecf:
        with pytest.raises(moldrin.MoldrinError) as refused:
            ecf.set_timeout(61)
        assert (refused.value.call, refused.value.code) == ("SetTimeoutRead", 1)
        with pytest.raises(moldrin.MoldrinError) as malformed:
            ecf.send(".28}")  # no ESC at its start: never sent
        assert (malformed.value.code, malformed.value.reply) == (-1, ".-P002}")
        # ECFRead refuses lengths outside 132..1728, whatever the buffer.
        import ctypes
        big = ctypes.create_string_buffer(2048)
        assert moldrin.library.ECFRead(big, 2048) == -1
        assert moldrin.library.ECFRead(big, 131) == -1
        assert moldrin.library.ECFRead(big, 132) == 0
    # After the session: calls that need one fail with -1.
    assert moldrin.library.ECFWrite(b"\x1B.28}") == -1


def test_errors_carry_the_reason():
    # A port whose device is not there: the reason is the library's own log lines.
    os.environ["MOLDRIN_COM3"] = "unix:" + os.path.join(os.environ["MOLDRIN_WORK"], "no-such-line")
    with pytest.raises(moldrin.MoldrinError) as missing:
        moldrin.Session(port=3, timeout=5)
    assert "CONFLITO DE PORTA NO SISTEMA" in missing.value.reason
    assert "CONFLITO DE PORTA NO SISTEMA" in str(missing.value)
    with pytest.raises(moldrin.MoldrinError) as zero:
        moldrin.Session(port=1, timeout=0)
    assert "time-out 0" in zero.value.reason
    with moldrin.Session(port=1, timeout=5) as ecf:
        with pytest.raises(moldrin.MoldrinError) as again:
            moldrin.Session(port=1, timeout=5)
        assert "open on COM1" in again.value.reason
        with pytest.raises(moldrin.MoldrinError) as malformed:
            ecf.send(".28}")
        assert "did not reach the printer" in malformed.value.reason
        assert "traffic log: " in malformed.value.reason


def test_missing_registration_is_named_as_the_reason():
    # The fiscal capture on (a root without talma.ini), no registration: the sale is refused.
    root = os.path.join(os.environ["MOLDRIN_WORK"], "fresh-root")
    code = ("import moldrin\n"
            "with moldrin.Session(port=1, timeout=5) as ecf:\n"
            "    try:\n"
            "        ecf.send('\\x1B.13}')\n"
            "    except moldrin.MoldrinError as e:\n"
            "        print('reply', e.reply)\n"
            "        print('reason', e.reason)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=HERE, MOLDRIN_ROOT=root))
    assert out.returncode == 0, out.stderr
    assert "reply .-P006}" in out.stdout
    assert "c:\\TALMA\\RFD\\E00.BIN" in out.stdout and "moldrin register --from-printer --port 1" in out.stdout


def test_host_path_follows_moldrin_root():
    assert moldrin.host_path("c:\\TEMP\\ECF-sexta.CM1") == os.path.join(os.environ["MOLDRIN_ROOT"], "c", "TEMP",
                                                                        "ECF-sexta.CM1")


def test_failed_open_does_not_block_the_next_one():
    with pytest.raises(moldrin.MoldrinError) as failed:
        moldrin.Session(port=1, timeout=0)
    assert failed.value.code == -1
    with moldrin.Session(port=1, timeout=5) as ecf:
        assert ecf.send("\x1B.28}").startswith(".+")


def test_installed_operator_receives_the_box():
    boxes = []
    moldrin.set_operator(info_box=boxes.append)
    with pytest.raises(moldrin.MoldrinError):
        moldrin.Session(port=1, timeout=61, show_dialogs=True)
    assert boxes == ["ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = 61"]
    # A second open while one is open: refused with a box, the open session untouched.
    with moldrin.Session(port=1, timeout=5, show_dialogs=True) as ecf:
        with pytest.raises(moldrin.MoldrinError):
            moldrin.Session(port=1, timeout=5, show_dialogs=True)
        assert boxes[-1] == "ECFopen -> TALMA:  ERRO - NÃO FOI DADO ECFClose"
        assert ecf.send("\x1B.28}").startswith(".+")


def test_example_runs():
    out = subprocess.run([sys.executable, os.path.join(HERE, "example.py")], capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, PYTHONPATH=HERE))
    assert out.returncode == 0, out.stderr
    assert "status 27 1: .+C" in out.stdout
