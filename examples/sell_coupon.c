/* A whole coupon with the typed operations: two items, paid in cash with change. */
#include <stdio.h>

#include "moldrin_ops.h"

#define CHECK(call) if ((call) != MOLDRIN_OPS_OK) { printf("%s: %s\n", #call, r.reason); ECFClose(); return 1; }

int main(void) {
    MoldrinOpsResult r;
    if (ECFOpen(1, 10, 500, 0) != 0) { ECFClose(); return 1; }
    CHECK(MoldrinOpenCoupon("12345678909", &r));
    CHECK(MoldrinSellItem("7891234567890", "ARROZ TIPO 1 5KG", 2000, "un", 2190, 2, "T01", &r));
    CHECK(MoldrinSellItem("2000456", "BANANA PRATA", 1250, "Kg", 599, 2, "T03", &r));
    CHECK(MoldrinPay(1, 6000, &r));
    printf("change: %lld.%02lld\n", r.change / 100, r.change % 100);
    CHECK(MoldrinCloseCoupon("OBRIGADO PELA PREFERENCIA", &r));
    printf("coupon %u closed\n", r.ccf);
    return ECFClose() == 0 ? 0 : 1;
}
