"""Moldrin for Python: the eleven calls of moldrin.h over ctypes, a session object
for ``with``, errors as :class:`MoldrinError`, and the operator as Python functions.

    import moldrin
    with moldrin.Session(port=1) as ecf:
        print(ecf.send("\\x1B.271}"))

The typed fiscal operations (sell an item, pay, close a coupon, the Z reduction...)
are in :mod:`moldrin.ops`, over the library of moldrin_ops.h.

Texts go to the library as Windows-1252 and come back decoded from it.
The library is ``$MOLDRIN_LIBRARY`` when set, else the one the system's loader finds
(``libmoldrin.so.3`` on Linux: an install under /usr/local or /usr, or ``LD_LIBRARY_PATH``;
``Moldrin.dll`` on Windows: beside the program or on ``PATH``), else
``libmoldrin.so.3`` in the ``lib`` folders of this package's own install prefix.
"""
import atexit
import ctypes
import os
import sys
import sysconfig
import threading

__all__ = ["MoldrinError", "Session", "is_failure_reply", "host_path", "set_operator", "version", "set_cts_test", "tx_fast", "library",
           "REPLY_SIZE", "MB_OK", "MB_YESNO", "MB_ICONERROR", "ID_OK", "ID_YES", "ID_NO"]

ENCODING = "cp1252"
REPLY_SIZE = 1728        # the largest length ECFRead accepts (132 is the smallest)
LOG_PATH_SIZE = 260
VERSION_SIZE = 1025
MB_OK, MB_YESNO, MB_ICONERROR = 0x00, 0x04, 0x10
ID_OK, ID_YES, ID_NO = 1, 6, 7

# Replies the library makes up when a command was not delivered or not answered.
FAILURE_REPLIES = (".-P002}", ".-P006}", ".-P666}")


def is_failure_reply(reply):
    """A reply the library made up for a command not delivered or not answered, or one
    with which its fiscal capture refused the command (".-0000ERRO - ...")."""
    return reply in FAILURE_REPLIES or (reply.startswith(".-") and reply[6:13] == "ERRO - ")


# What the replies the library makes up mean, for the reason of an error.
REPLY_MEANINGS = {
    ".-P002}": "the command did not reach the printer",
    ".-P006}": "no valid reply came, or the fiscal capture refused the command",
    ".-P666}": "the fiscal capture could not take its lock",
}


class MoldrinError(Exception):
    """A call failed: ``call`` is its name, ``code`` its result, ``reply`` the reply
    the library left (empty when the call leaves none), ``reason`` why: the lines the
    library logged for the call, or what the binding knows (empty when neither says)."""

    def __init__(self, call, code, reply="", reason=""):
        self.call, self.code, self.reply, self.reason = call, code, reply, reason
        text = f"{call} returned {code}"
        if reply:
            text += f", reply {reply!r}"
        if reason:
            text += f": {reason}"
        super().__init__(text)


def _candidates():
    """Where the library is looked for, in order."""
    name = os.environ.get("MOLDRIN_LIBRARY")
    if name:
        return [name]
    if sys.platform == "win32":
        return ["Moldrin.dll"]
    # The loader's own search first (LD_LIBRARY_PATH, the system's folders); then the prefix
    # this package was installed into (PREFIX/lib/pythonX.Y/site-packages/moldrin), so that
    # `pip install --prefix P` beside `cmake --install --prefix P` needs nothing more; then
    # /usr/local, where `cmake --install` puts it by default and the loader's cache may not
    # have looked yet.
    found = ["libmoldrin.so.3"]
    prefixes = []
    here = os.path.dirname(os.path.abspath(__file__))
    parts = here.split(os.sep)
    if "lib" in parts or "lib64" in parts:
        at = max(i for i, p in enumerate(parts) if p in ("lib", "lib64"))
        prefixes.append(os.sep.join(parts[:at]) or os.sep)
        # Debian's pip puts `--prefix P` installs under P/local.
        if parts[at - 1] == "local":
            prefixes.append(os.sep.join(parts[:at - 1]) or os.sep)
    prefixes += [sys.prefix, "/usr/local"]
    for prefix in prefixes:
        for libdir in ("lib", "lib64", os.path.join("lib", sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu")):
            path = os.path.join(prefix, libdir, "libmoldrin.so.3")
            if path not in found:
                found.append(path)
    return found


def _open_library(convention):
    tried = []
    for candidate in _candidates():
        try:
            return convention(candidate)
        except OSError as exc:
            tried.append(f"{candidate} ({exc})")
    raise OSError("moldrin: the library was not found; set MOLDRIN_LIBRARY to its path. Tried: " + "; ".join(tried))


def _load():
    if sys.platform == "win32":
        lib = _open_library(ctypes.WinDLL)          # __stdcall on 32-bit
        fast = ctypes.CDLL(lib._name)               # ECFTxFast alone is __cdecl
    else:
        lib = fast = _open_library(ctypes.CDLL)
    c_int, c_uint, c_char_p, c_void_p = ctypes.c_int, ctypes.c_uint, ctypes.c_char_p, ctypes.c_void_p
    for fn, args, res in (
            ("ECFOpen", [c_int, c_uint, c_uint, c_int], c_int), ("ECFClose", [], c_int),
            ("ECFWrite", [c_char_p], c_int), ("ECFRead", [c_char_p, c_uint], c_int),
            ("SetTimeoutRead", [c_uint], c_int), ("ECFPathLog", [c_char_p], c_int),
            ("ECFswLFs", [], c_int), ("SetTesteCTS", [c_int], c_int),
            ("SistemaGetVersion", [c_char_p], None), ("ECFSetOperator", [c_void_p], None)):
        getattr(lib, fn).argtypes, getattr(lib, fn).restype = args, res
    fast.ECFTxFast.argtypes, fast.ECFTxFast.restype = [c_char_p, c_uint], c_int
    return lib, fast


library, _fast = _load()


class Identification(ctypes.Structure):
    """The registration fields of the identification dialog (moldrin.h MoldrinIdentification)."""
    _fields_ = [("orderNumber", ctypes.c_char * 3), ("appVersion", ctypes.c_char * 11),
                ("appName", ctypes.c_char * 41), ("programData", ctypes.c_char * 85),
                ("developerId", ctypes.c_char * 15), ("stateReg", ctypes.c_char * 15),
                ("cityReg", ctypes.c_char * 15), ("softwareHouse", ctypes.c_char * 41),
                ("coo", ctypes.c_char * 7), ("factoryNumber", ctypes.c_char * 10)]


# The operator callbacks are plain C (cdecl) on every system.
_INFO = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)
_QUESTION = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p)
_MESSAGE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint)
_IDENTIFY = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(Identification))


class _Operator(ctypes.Structure):
    _fields_ = [("context", ctypes.c_void_p), ("infoBox", _INFO), ("questionBox", _QUESTION),
                ("messageBox", _MESSAGE), ("identify", _IDENTIFY)]


_installed = None  # the installed callbacks live as long as the library may call them


def _text(raw):
    return (raw or b"").decode(ENCODING, "replace")


def set_operator(info_box=None, question_box=None, message_box=None, identify=None):
    """Installs Python functions as the operator; with no function, puts the default back.

    info_box(text); question_box(text) -> bool; message_box(text, caption, style) -> ID_*;
    identify(caption, fields: dict) -> dict of new field values, or None to cancel.
    A function not given keeps the library's own behaviour for that kind of message.
    An exception in a callback is printed and counts as "no" / cancel."""
    global _installed
    if not any((info_box, question_box, message_box, identify)):
        library.ECFSetOperator(None)
        _installed = None
        return

    def guard(fallback, fn):
        def call(*args):
            try:
                return fn(*args)
            except Exception as exc:  # never let an exception unwind into C
                print(f"moldrin: operator callback failed: {exc!r}", file=sys.stderr)
                return fallback
        return call

    op = _Operator()
    if info_box:
        op.infoBox = _INFO(guard(None, lambda ctx, text: info_box(_text(text))))
    if question_box:
        op.questionBox = _QUESTION(guard(0, lambda ctx, text: 1 if question_box(_text(text)) else 0))
    if message_box:
        op.messageBox = _MESSAGE(guard(ID_NO, lambda ctx, text, caption, style:
                                       int(message_box(_text(text), _text(caption), style))))
    if identify:
        def ident(ctx, caption, fields):
            current = {name: _text(getattr(fields.contents, name)) for name, _ in Identification._fields_}
            answer = identify(_text(caption), current)
            if answer is None:
                return 0
            for name, value in answer.items():
                setattr(fields.contents, name, str(value).encode(ENCODING, "replace"))
            return 1
        op.identify = _IDENTIFY(guard(0, ident))
    library.ECFSetOperator(ctypes.byref(op))
    _installed = op


def version():
    """The library's version text, e.g. "Moldrin 3, 0, 0, 19"."""
    buf = ctypes.create_string_buffer(VERSION_SIZE)
    library.SistemaGetVersion(buf)
    return _text(buf.value)


def set_cts_test(enabled):
    """Whether the transmitter reads CTS before each byte (off by default)."""
    library.SetTesteCTS(1 if enabled else 0)


def tx_fast(data):
    """ECFTxFast: raw bytes to the open session's port, no reply read. str: text mode
    (up to the first "}"); bytes: exactly those bytes. Returns the count sent."""
    if isinstance(data, str):
        return _fast.ECFTxFast(data.encode(ENCODING), 0)
    return _fast.ECFTxFast(bytes(data), len(data))


def host_path(windows_path):
    """Where a path the library names (c:\\TEMP\\...) lives on this system: as it is on
    Windows; on Linux under $MOLDRIN_ROOT (default ~/.moldrin), c:\\X\\Y being ROOT/c/X/Y."""
    if sys.platform == "win32" or len(windows_path) < 2 or windows_path[1] != ":":
        return windows_path
    root = os.environ.get("MOLDRIN_ROOT")
    if not root:
        home = os.environ.get("HOME")
        root = os.path.join(home, ".moldrin") if home else f"/tmp/moldrin-{os.getuid()}"
    return os.path.join(root, windows_path[0].lower(), *[p for p in windows_path[2:].split("\\") if p])


def _log_file():
    """The traffic log's host path, or None (no session, or log mode 0)."""
    buf = ctypes.create_string_buffer(LOG_PATH_SIZE)
    if library.ECFPathLog(buf) != 0 or not buf.value[1:2] == b":":
        return None
    return host_path(_text(buf.value))


def _log_size():
    try:
        return os.path.getsize(_log_file() or "")
    except OSError:
        return None


def _log_lines(since=0):
    """The traffic log's lines from byte `since`, without their time stamps."""
    try:
        with open(_log_file() or "", "rb") as f:
            f.seek(since)
            data = f.read()
    except OSError:
        return []
    lines = []
    for raw in data.split(b"\r\n"):
        line = _text(raw)
        stamp = line.find(" == ")
        if 0 <= stamp < 24:
            line = line[stamp + 4:]
        if line.strip():
            lines.append(line)
    return lines


# The lines every open writes, which tell nothing about why it failed.
_ROUTINE = ("LOG habilitado", "N A O   mostra CAIXA", "Mostra CAIXA", "Timeout informado")


def _open_failure_reason(port, timeout):
    if Session._open is not None:
        return f"a session of this process is open on COM{Session._open.port}: close it first"
    if port == 0:
        return "port 0: ports count from 1 (COM1)"
    if not 1 <= timeout <= 60:
        return f"time-out {timeout}: 1 to 60 seconds"
    lines = _log_lines()
    banner = max((i for i, line in enumerate(lines) if line.startswith("<<< Moldrin.DLL - Versao")), default=None)
    if banner is None:
        return "the traffic log tells no reason (log mode 0?)"
    told = [line for line in lines[banner + 1:] if not line.startswith(_ROUTINE)]
    return " / ".join(told) or "the traffic log tells no reason"


def _registration_missing():
    """True when the fiscal capture would refuse for want of the registration."""
    return (not os.path.exists(host_path("c:\\TALMA\\RFD\\E00.BIN"))
            and not os.path.exists(host_path("c:\\TALMA\\talma.ini")))


def _reply_reason(reply, logged, port):
    parts = []
    if reply == ".-P006}" and _registration_missing():
        parts.append("the fiscal capture refuses fiscal commands until the application's registration "
                     f"c:\\TALMA\\RFD\\E00.BIN exists (moldrin register --from-printer --port {port})")
    elif reply in REPLY_MEANINGS:
        parts.append(REPLY_MEANINGS[reply])
    if logged:
        parts.append("traffic log: " + logged[-1])
    return "; ".join(parts)


class Session:
    """The one session of the process on COM<port> (1-based).

    timeout: 1 to 60 s; log_mode: 0 none, 1 weekly, 2+ size limit in KB;
    show_dialogs: errors are also shown through the operator.
    Raises MoldrinError when the session does not open; use it in ``with`` or call close()."""

    _lock = threading.Lock()
    _open = None

    def __init__(self, port, timeout=10, log_mode=500, show_dialogs=False):
        self.port = port
        with Session._lock:
            code = library.ECFOpen(port, timeout, log_mode, 1 if show_dialogs else 0)
            if code != 0:
                # Read before ECFClose, which takes the log's path with the session.
                reason = _open_failure_reason(port, timeout)
                # A failed open leaves the library refusing every later open until
                # ECFClose, unless the failure was that our own session is open.
                if Session._open is None:
                    library.ECFClose()
                raise MoldrinError("ECFOpen", code, reason=reason)
            Session._open = self
        self._closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """ECFClose; closing twice does nothing."""
        with Session._lock:
            if self._closed:
                return
            self._closed = True
            if Session._open is self:
                Session._open = None
            code = library.ECFClose()
        if code != 0:
            raise MoldrinError("ECFClose", code)

    def write(self, command):
        """ECFWrite alone; the reply waits for read()."""
        self._write(command)

    def _write(self, command):
        raw = command.encode(ENCODING) if isinstance(command, str) else bytes(command)
        before = _log_size()
        code = library.ECFWrite(raw)
        logged = _log_lines(before) if before is not None else []
        if code != 0:
            reply = self.read()
            raise MoldrinError("ECFWrite", code, reply, _reply_reason(reply, logged, self.port))
        return logged

    def read(self):
        """ECFRead: the last reply (it is not consumed)."""
        buf = ctypes.create_string_buffer(REPLY_SIZE)
        code = library.ECFRead(buf, REPLY_SIZE)
        if code != 0:
            raise MoldrinError("ECFRead", code)
        return _text(buf.value)

    def send(self, command):
        """ECFWrite then ECFRead. Raises MoldrinError when the call fails or the reply is
        one the library made up for a command not delivered, not answered or refused
        (".-P002}", ".-P006}", ".-P666}", ".-0000ERRO - ..."); the exception carries it."""
        logged = self._write(command)
        reply = self.read()
        if is_failure_reply(reply):
            raise MoldrinError("ECFWrite", 0, reply, _reply_reason(reply, logged, self.port))
        return reply

    def set_timeout(self, seconds):
        """SetTimeoutRead: 1 to 60; anything else raises with code 1 and keeps the time-out."""
        code = library.SetTimeoutRead(seconds)
        if code != 0:
            raise MoldrinError("SetTimeoutRead", code)

    def log_path(self):
        """ECFPathLog: the traffic log's path in its Windows form (on Linux under $MOLDRIN_ROOT)."""
        buf = ctypes.create_string_buffer(LOG_PATH_SIZE)
        code = library.ECFPathLog(buf)
        if code != 0:
            raise MoldrinError("ECFPathLog", code)
        return _text(buf.value)

    def line_feed(self):
        """ECFswLFs: the fixed line-feed command by the fast writer; the count sent."""
        code = library.ECFswLFs()
        if code < 0:
            raise MoldrinError("ECFswLFs", code)
        return code


@atexit.register
def _at_exit():
    # The library closes a session left open when it is unloaded, which may show a box:
    # by then the Python callbacks are gone, so the session closes and the default
    # operator returns while the interpreter still runs.
    if Session._open is not None:
        try:
            Session._open.close()
        except MoldrinError:
            pass
    if _installed is not None:
        library.ECFSetOperator(None)
