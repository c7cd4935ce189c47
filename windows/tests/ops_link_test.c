/* A POS program that sells a coupon with the typed operations, written as a developer
 * writes it: plain C, moldrin.h and moldrin_ops.h, linked against both import libraries
 * (Moldrin.lib, MoldrinOps.lib). It links only when MoldrinOps.lib resolves every
 * declaration of its header (the decorated __stdcall names of 32-bit Windows); it is
 * compiled with 4-byte packing, as older Windows compilers and Delphi's {$A4} pack, so a
 * result structure whose layout hung on the packing reads wrong here. Run, it checks the
 * calls without a session and, when MOLDRIN_COM1 names a simulator (with the fiscal
 * capture off), sells a whole coupon on COM1. Prints "ops: N passed, M failed". */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "moldrin.h"
#pragma pack(push, 4)
#include "moldrin_ops.h"
#pragma pack(pop)

/* What the DLL was built with (its own build checks the same figures). */
typedef char result_layout[(sizeof(MoldrinOpsResult) == 472 && offsetof(MoldrinOpsResult, subtotal) == 456 &&
                            offsetof(MoldrinOpsResult, change) == 464) ? 1 : -1];
typedef char status_layout[(sizeof(MoldrinOpsStatus) == 224 && offsetof(MoldrinOpsStatus, subtotal) == 184 &&
                            offsetof(MoldrinOpsStatus, paper) == 204) ? 1 : -1];

static int passed, failed;

static void check(int ok, const char *what, const MoldrinOpsResult *r) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("    %s", what);
        if (r) printf(" (status %d, reason \"%s\", reply \"%.40s\")", r->status, r->reason, r->reply);
        printf("\n");
    }
}

static void sell_coupon(void) {
    MoldrinOpsResult r;
    MoldrinOpsStatus st;
    unsigned cooBefore;
    long long change;

    check(MoldrinReadStatus(&st, &r) == MOLDRIN_OPS_OK, "MoldrinReadStatus", &r);
    check(st.factoryNumber[0] != 0 && st.modelLetter != 0, "the status names the printer", NULL);
    /* A coupon left open by an earlier run is not this run's. */
    if (st.document != MOLDRIN_DOCUMENT_NONE) check(MoldrinCancelCoupon(&r) == MOLDRIN_OPS_OK, "cancel the open coupon", &r);
    cooBefore = r.coo;

    check(MoldrinOpenCoupon("", &r) == MOLDRIN_OPS_OK, "MoldrinOpenCoupon", &r);
    check(MoldrinSellItem("7891234567890", "ARROZ TIPO 1 5KG", 2000, "un", 2190, 2, "T01", &r) == MOLDRIN_OPS_OK,
          "MoldrinSellItem, first item", &r);
    check(r.itemNumber == 1 && r.subtotal == 4380, "the first item: number 1, subtotal 43,80", &r);
    /* 1,250 kg at 5,99: 7,4875, truncated to 7,48 as the printer counts. */
    check(MoldrinSellItem("2000456", "BANANA PRATA", 1250, "Kg", 599, 2, "T03", &r) == MOLDRIN_OPS_OK,
          "MoldrinSellItem, second item", &r);
    check(r.itemNumber == 2 && r.subtotal == 5128, "the second item: number 2, subtotal 51,28", &r);
    check(MoldrinReadStatus(&st, &r) == MOLDRIN_OPS_OK, "MoldrinReadStatus in the coupon", &r);
    check(st.document == MOLDRIN_DOCUMENT_COUPON && st.items == 2 && st.subtotal == 5128 && st.lastCommand != 0,
          "the status read in the coupon: a coupon of 2 items, 51,28", NULL);
    check(MoldrinPay(1, 6000, &r) == MOLDRIN_OPS_OK, "MoldrinPay", &r);
    check(r.change == 872, "the change of 60,00 paid for 51,28: 8,72", &r);
    change = r.change;
    check(MoldrinCloseCoupon("OBRIGADO PELA PREFERENCIA", &r) == MOLDRIN_OPS_OK, "MoldrinCloseCoupon", &r);
    check(r.coo > cooBefore, "the coupon took a COO", &r);
    printf("coupon COO %u, CCF %u, change %lld,%02lld\n", r.coo, r.ccf, change / 100, change % 100);
    check(MoldrinReadStatus(&st, &r) == MOLDRIN_OPS_OK && st.document == MOLDRIN_DOCUMENT_NONE,
          "no document open after the close", &r);
}

int main(void) {
    MoldrinOpsResult r;

    /* Before anything is sent: the arguments, then the session. */
    check(MoldrinSellItem("789", "ARROZ", 1000, "cx", 100, 2, "T01", &r) == MOLDRIN_OPS_BAD_ARGUMENT &&
              strcmp(r.field, "unit") == 0, "a unit the printer has not: refused, naming the field", &r);
    check(MoldrinPay(11, 100, &r) == MOLDRIN_OPS_BAD_ARGUMENT && strcmp(r.field, "method") == 0,
          "payment method 11: refused, naming the field", &r);
    check(MoldrinOpenCoupon("", &r) == MOLDRIN_OPS_NO_SESSION && r.status == MOLDRIN_OPS_NO_SESSION,
          "MoldrinOpenCoupon without a session", &r);
    check(strlen(MoldrinOpsResultText(MOLDRIN_OPS_UNDECIDED)) > 10, "MoldrinOpsResultText", NULL);

    if (getenv("MOLDRIN_COM1") && *getenv("MOLDRIN_COM1")) {
        check(ECFOpen(1, 5, 500, 0) == 0, "ECFOpen(COM1) on the simulator", NULL);
        sell_coupon();
        check(ECFClose() == 0, "ECFClose", NULL);
    } else {
        printf("MOLDRIN_COM1 is not set: no coupon on the simulator\n");
    }
    printf("ops: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
