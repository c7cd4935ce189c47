"""A whole coupon sold with the typed operations: open it for a buyer, sell three items
(one by weight), take a discount, pay by card and in cash, close it. Run it with a
printer (or `moldrin sim`) on COM1 and the application registered for it
(`moldrin register --from-printer --port 1`)."""
import moldrin
import moldrin.ops as ops

with moldrin.Session(port=1, timeout=5):
    coupon = ops.open_coupon(buyer="12345678909")
    print("coupon", coupon.ccf, "COO", coupon.coo)
    ops.sell_item("7891234560012", "ARROZ TIPO 1 5KG", quantity="2", unit="un", price="21.90", tax="T01")
    ops.sell_item("2000123000450", "QUEIJO PRATO", quantity="0.350", unit="Kg", price="45.900", tax="T03", decimals=3)
    milk = ops.sell_item("7896543210987", "LEITE INTEGRAL 1L", quantity="2", unit="l", price="4.59", tax="F")
    ops.item_discount("0.50")
    print("item", milk.item_number, "subtotal", ops.read_status().subtotal)
    ops.pay(method=3, amount="20.00")
    cash = ops.pay(method=1, amount="50.00")
    print("change", cash.change)
    ops.close_coupon("OBRIGADO PELA PREFERENCIA")
