"""The typed operations of the Python binding against the printer simulator on COM1,
with the fiscal capture on: the example sells a coupon, the day is closed, and the
day's fiscal file holds the coupon, its items and its payments."""
import glob
import os
import subprocess
import sys
from decimal import Decimal

import pytest

import moldrin
import moldrin.ops as ops

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.environ.get("MOLDRIN_ROOT", "")
FINISHED = os.path.join(ROOT, "c", "TALMA", "RFD", "S E F A Z - ArqDigital = [CD] & [Transmitir]")


def col(line, first, last):
    """Columns first..last, 1-based and inclusive, as the record layouts count them."""
    return line[first - 1:last]


@pytest.fixture(scope="module", autouse=True)
def capture_on():
    """The fiscal capture on (no talma.ini) and the application registered for the
    printer on COM1 (its factory number and model read from it), as a point of sale is
    before its first coupon. A process that
    opened a session with the capture off keeps it off: this file runs on its own."""
    ini = os.path.join(ROOT, "c", "TALMA", "talma.ini")
    os.remove(ini)
    subprocess.run([os.environ["MOLDRIN_TOOL"], "register", "--from-printer", "--port", "1",
                    "--cnpj", "12345678000199", "--ie", "111222333", "--im", "4455",
                    "--software-house", "Moldrin Demo Software", "--coo", "1", "--order", "1", "--name", "Caixa Demo",
                    "--version", "1.0", "--program-data", "frente de loja"], check=True, capture_output=True)
    yield
    open(ini, "w").close()


def test_bad_arguments_name_their_field_and_send_nothing():
    with moldrin.Session(port=1, timeout=5):
        for call, field in ((lambda: ops.open_coupon("123"), "buyer"),
                            (lambda: ops.sell_item("1", "PAO", "1.0001", "un", "1.00", "T01"), "quantity"),
                            (lambda: ops.sell_item("1", "PAO", "1", "cx", "1.00", "T01"), "unit"),
                            (lambda: ops.sell_item("1", "PAO", "1", "un", "1.001", "T01"), "price"),
                            (lambda: ops.pay(11, "1.00"), "method")):
            with pytest.raises(ops.OpsError) as bad:
                call()
            assert (bad.value.status, bad.value.field) == (ops.BAD_ARGUMENT, field)
            assert bad.value.reason.startswith(field + ":")
        # A refusal carries the printer's code and what it means.
        with pytest.raises(ops.OpsError) as refused:
            ops.close_coupon()
        assert (refused.value.status, refused.value.printer_code) == (ops.REFUSED, 11)
        assert "not allowed now" in str(refused.value)
    with pytest.raises(ops.OpsError) as closed:
        ops.x_reading()
    assert closed.value.status == ops.NO_SESSION


def test_example_sells_a_coupon_that_reaches_the_fiscal_file():
    out = subprocess.run([sys.executable, os.path.join(HERE, "sell_coupon.py")], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "change 1.46" in out.stdout

    boxes = []
    moldrin.set_operator(message_box=lambda text, caption, style: boxes.append(text) or moldrin.ID_OK)
    try:
        with moldrin.Session(port=1, timeout=5):
            status = ops.read_status()
            assert (status.document, status.ccf, status.grand_total > 0) == (None, 1, True)
            assert status.payments[0] == Decimal("48.54")
            z = ops.z_reduction()
            assert z.crz == status.crz + 1
    finally:
        moldrin.set_operator()

    files = glob.glob(os.path.join(glob.escape(FINISHED), "*"))
    assert len(files) == 1, (files, boxes)
    lines = open(files[0], encoding="cp1252").read().splitlines()
    e14 = [l for l in lines if l.startswith("E14")]
    e15 = [l for l in lines if l.startswith("E15")]
    e21 = [l for l in lines if l.startswith("E21")]
    # The coupon: CCF 1, COO 2, subtotal 68.54, no adjustment, the buyer's CPF.
    assert [(col(l, 47, 52), col(l, 53, 58), col(l, 67, 80), col(l, 109, 122), col(l, 178, 191)) for l in e14] == [
        ("000001", "000002", "00000000006854", "00000000006854", "00012345678909")]
    # Its items: code, quantity, unit, unit price, discount, net total, totalizer.
    assert [(col(l, 62, 75), col(l, 176, 182), col(l, 183, 185), col(l, 186, 193), col(l, 194, 201),
             col(l, 210, 223), col(l, 224, 230)) for l in e15] == [
        ("7891234560012 ", "0002000", "un ", "00002190", "00000000", "00000000004380", "01T1800"),
        ("2000123000450 ", "0000350", "Kg ", "00045900", "00000000", "00000000001606", "03T1200"),
        ("7896543210987 ", "0002000", "l  ", "00000459", "00000050", "00000000000868", "F1     ")]
    # Its payments, cash net of the change.
    assert [(col(l, 65, 79), col(l, 80, 92)) for l in e21] == [
        ("Dinheiro       ", "0000000004854"), ("Cartao         ", "0000000002000")]
