"""Typed fiscal operations (moldrin_ops.h) over ctypes: a coupon sold without frames.

    import moldrin, moldrin.ops as ops
    with moldrin.Session(port=1):
        ops.open_coupon(buyer="12345678909")
        ops.sell_item("7891234567890", "ARROZ TIPO 1 5KG", quantity="2", unit="un", price="21.90", tax="T01")
        paid = ops.pay(method=1, amount="50.00")
        print("change", paid.change)
        ops.close_coupon("OBRIGADO")

Quantities are in units (up to 3 decimals), prices and amounts in reais (2 decimals; a
unit price 3 with ``decimals=3``), given as str, int or decimal.Decimal; results come back
as decimal.Decimal. A command whose reply is lost is settled from the printer's status and
never carried out twice (see moldrin_ops.h). Every failure raises :class:`OpsError`
with the library's reason and, for a bad argument, the field at fault.

The library is ``$MOLDRIN_OPS_LIBRARY`` when set, else ``libmoldrin_ops.so.3`` (Linux)
or ``MoldrinOps.dll`` (Windows).
"""
import ctypes
import os
import sys
from decimal import Decimal

from . import ENCODING, MoldrinError

__all__ = ["OpsError", "Result", "Status", "open_coupon", "set_buyer", "sell_item", "item_discount",
           "cancel_item", "subtotal_discount", "subtotal_increase", "pay", "close_coupon", "cancel_coupon",
           "non_fiscal_receipt", "x_reading", "z_reduction", "settle", "read_status",
           "OK", "NO_SESSION", "BAD_ARGUMENT", "REFUSED", "NOT_DELIVERED", "UNDECIDED"]

OK, NO_SESSION, BAD_ARGUMENT, REFUSED, NOT_DELIVERED, UNDECIDED = 0, -1, -2, -3, -4, -5
DOCUMENTS = {0: None, 1: "coupon", 2: "non-fiscal"}


class _Result(ctypes.Structure):
    _fields_ = [("status", ctypes.c_int), ("field", ctypes.c_char * 32), ("reason", ctypes.c_char * 256),
                ("reply", ctypes.c_char * 132), ("printerCode", ctypes.c_int), ("recovered", ctypes.c_int),
                ("resent", ctypes.c_int), ("itemNumber", ctypes.c_uint), ("coo", ctypes.c_uint),
                ("ccf", ctypes.c_uint), ("gnf", ctypes.c_uint), ("crz", ctypes.c_uint),
                ("subtotal", ctypes.c_longlong), ("change", ctypes.c_longlong)]


class _Status(ctypes.Structure):
    _fields_ = [("coo", ctypes.c_uint), ("ccf", ctypes.c_uint), ("gnf", ctypes.c_uint), ("crz", ctypes.c_uint),
                ("grandTotal", ctypes.c_longlong), ("grossDailySale", ctypes.c_longlong),
                ("cancellations", ctypes.c_longlong), ("discounts", ctypes.c_longlong),
                ("increases", ctypes.c_longlong), ("payments", ctypes.c_longlong * 10),
                ("fiscalDate", ctypes.c_char * 7), ("clock", ctypes.c_char * 11),
                ("factoryNumber", ctypes.c_char * 10), ("modelLetter", ctypes.c_char),
                ("reserved1", ctypes.c_char * 3), ("extended", ctypes.c_int), ("document", ctypes.c_int),
                ("items", ctypes.c_uint), ("reserved2", ctypes.c_uint), ("subtotal", ctypes.c_longlong),
                ("lastCommand", ctypes.c_int), ("lastRefused", ctypes.c_int), ("lastReplyCode", ctypes.c_uint),
                ("paper", ctypes.c_char * 16), ("reserved3", ctypes.c_char * 4)]


def _load():
    name = os.environ.get("MOLDRIN_OPS_LIBRARY")
    if sys.platform == "win32":
        return ctypes.WinDLL(name or "MoldrinOps.dll")  # __stdcall on 32-bit
    return ctypes.CDLL(name or "libmoldrin_ops.so.3")


library = _load()
_R = ctypes.POINTER(_Result)
_c = ctypes
for _fn, _args in (
        ("MoldrinOpenCoupon", [_c.c_char_p, _R]), ("MoldrinSetBuyer", [_c.c_char_p, _R]),
        ("MoldrinSellItem", [_c.c_char_p, _c.c_char_p, _c.c_longlong, _c.c_char_p, _c.c_longlong, _c.c_int,
                             _c.c_char_p, _R]),
        ("MoldrinItemDiscount", [_c.c_longlong, _R]), ("MoldrinCancelItem", [_c.c_int, _R]),
        ("MoldrinSubtotalDiscount", [_c.c_longlong, _R]), ("MoldrinSubtotalIncrease", [_c.c_longlong, _R]),
        ("MoldrinPay", [_c.c_int, _c.c_longlong, _R]), ("MoldrinCloseCoupon", [_c.c_char_p, _R]),
        ("MoldrinCancelCoupon", [_R]),
        ("MoldrinNonFiscalReceipt", [_c.c_int, _c.c_int, _c.c_longlong, _c.c_char_p, _R]),
        ("MoldrinXReading", [_R]), ("MoldrinZReduction", [_R]), ("MoldrinOpsSettle", [_R]),
        ("MoldrinReadStatus", [_c.POINTER(_Status), _R])):
    getattr(library, _fn).argtypes, getattr(library, _fn).restype = _args, _c.c_int
library.MoldrinOpsResultText.argtypes, library.MoldrinOpsResultText.restype = [_c.c_int], _c.c_char_p


def _text(raw):
    return (raw or b"").decode(ENCODING, "replace")


class OpsError(MoldrinError):
    """A typed operation failed: ``status`` its result (BAD_ARGUMENT, REFUSED, ...),
    ``field`` the argument at fault, ``reason`` why, ``reply`` and ``printer_code``
    what the printer (or the library) answered."""

    def __init__(self, call, r):
        super().__init__(call, r.status, _text(r.reply), _text(r.reason))
        self.status, self.field = r.status, _text(r.field)
        self.printer_code = r.printerCode
        self.args = (f"{call}: {self.reason or _text(library.MoldrinOpsResultText(r.status))}",)

    def __str__(self):
        return self.args[0]


class Result:
    """What an operation read back: item_number, coo, ccf, gnf, crz, subtotal and change
    (decimal.Decimal), reply, printer_code, recovered (the reply was lost and the printer
    showed it had carried the command out) and resent."""

    def __init__(self, r):
        self.reply, self.printer_code = _text(r.reply), r.printerCode
        self.recovered, self.resent = bool(r.recovered), r.resent
        self.item_number, self.coo, self.ccf, self.gnf, self.crz = r.itemNumber, r.coo, r.ccf, r.gnf, r.crz
        self.subtotal, self.change = _money(r.subtotal), _money(r.change)

    def __repr__(self):
        return f"Result({vars(self)!r})"


class Status:
    """What a point of sale reads of the printer (moldrin_ops.h MoldrinOpsStatus)."""

    def __init__(self, s):
        self.coo, self.ccf, self.gnf, self.crz = s.coo, s.ccf, s.gnf, s.crz
        self.grand_total, self.gross_daily_sale = _money(s.grandTotal), _money(s.grossDailySale)
        self.cancellations, self.discounts, self.increases = (_money(s.cancellations), _money(s.discounts),
                                                              _money(s.increases))
        self.payments = [_money(v) for v in s.payments]
        self.fiscal_date, self.clock, self.factory_number = _text(s.fiscalDate), _text(s.clock), _text(s.factoryNumber)
        self.model_letter, self.extended = _text(s.modelLetter), bool(s.extended)
        self.document, self.items, self.subtotal = DOCUMENTS.get(s.document), s.items, _money(s.subtotal)
        self.last_command, self.last_refused, self.last_reply_code = s.lastCommand, bool(s.lastRefused), s.lastReplyCode
        self.paper = _text(s.paper)

    def __repr__(self):
        return f"Status({vars(self)!r})"


def _money(cents):
    return Decimal(cents).scaleb(-2)


def _scaled(value, places, field):
    """value (str, int or Decimal) as a whole number of 10**-places; anything finer raises."""
    if isinstance(value, float):
        value = repr(value)
    try:
        d = Decimal(value).scaleb(places)
    except Exception:
        raise OpsError(field, _bad(field, f"not a number: {value!r}")) from None
    if d != d.to_integral_value():
        raise OpsError(field, _bad(field, f"{value} has more than {places} decimals"))
    return int(d)


def _bad(field, why):
    r = _Result()
    r.status, r.field, r.reason = BAD_ARGUMENT, field.encode(), f"{field}: {why}".encode()
    r.printerCode = -1
    return r


def _enc(text):
    return None if text is None else str(text).encode(ENCODING)


def _call(name, *args):
    r = _Result()
    getattr(library, name)(*args, ctypes.byref(r))
    if r.status != OK:
        raise OpsError(name, r)
    return Result(r)


def open_coupon(buyer=""):
    """Opens a fiscal coupon; buyer: CPF (11 digits) or CNPJ (14), or "" for none."""
    return _call("MoldrinOpenCoupon", _enc(buyer))


def set_buyer(buyer):
    """The buyer of the open coupon, after its opening."""
    return _call("MoldrinSetBuyer", _enc(buyer))


def sell_item(code, description, quantity, unit, price, tax, decimals=2):
    """Sells an item (a coupon is opened first when none is open). quantity in units
    (3 decimals at most); unit "un", "Kg", "m" or "l"; price per unit, with 2 or 3
    decimals; tax "T01", "S04", "I", "N" or "F". Result.item_number: its number."""
    if decimals not in (2, 3):
        raise OpsError("MoldrinSellItem", _bad("decimals", "2 or 3"))
    return _call("MoldrinSellItem", _enc(code), _enc(description), _scaled(quantity, 3, "quantity"), _enc(unit),
                 _scaled(price, decimals, "price"), decimals, _enc(tax))


def item_discount(amount):
    return _call("MoldrinItemDiscount", _scaled(amount, 2, "amount"))


def cancel_item(item_number=0):
    """Cancels item item_number of the open coupon, or the last one with 0."""
    return _call("MoldrinCancelItem", item_number)


def subtotal_discount(amount):
    return _call("MoldrinSubtotalDiscount", _scaled(amount, 2, "amount"))


def subtotal_increase(amount):
    return _call("MoldrinSubtotalIncrease", _scaled(amount, 2, "amount"))


def pay(method, amount):
    """A payment by method 1 to 10; Result.change is what goes back to the buyer."""
    return _call("MoldrinPay", method, _scaled(amount, 2, "amount"))


def close_coupon(message=""):
    return _call("MoldrinCloseCoupon", _enc(message))


def cancel_coupon():
    return _call("MoldrinCancelCoupon")


def non_fiscal_receipt(totalizer, method, amount, text=""):
    return _call("MoldrinNonFiscalReceipt", totalizer, method, _scaled(amount, 2, "amount"), _enc(text))


def x_reading():
    return _call("MoldrinXReading")


def z_reduction():
    """Closes the fiscal day; with the fiscal capture on, the day's fiscal file is made
    before this returns."""
    return _call("MoldrinZReduction")


def settle():
    """Settles a command left undecided (UNDECIDED) without sending anything new."""
    return _call("MoldrinOpsSettle")


def read_status():
    s, r = _Status(), _Result()
    library.MoldrinReadStatus(ctypes.byref(s), ctypes.byref(r))
    if r.status != OK:
        raise OpsError("MoldrinReadStatus", r)
    return Status(s)
