/* Moldrin typed fiscal operations: a coupon sold without building frames.
 *
 * A library of its own (libmoldrin_ops.so, MoldrinOps.dll) over the ten calls of
 * moldrin.h: open the session with ECFOpen as usual, then
 *
 *   MoldrinOpsResult r;
 *   MoldrinOpenCoupon("", &r);
 *   MoldrinSellItem("7891234567890", "ARROZ TIPO 1 5KG", 2000, "un", 2190, 2, "T01", &r);
 *   MoldrinPay(1, 5000, &r);                       r.change: 620 (cents)
 *   MoldrinCloseCoupon("OBRIGADO", &r);
 *
 * Amounts are whole cents; quantities thousandths (2000 is 2,000); a unit price
 * has 2 decimals, or 3 when priceDecimals says so (in thousandths of the money).
 *
 * Every operation checks its arguments before anything is sent and answers one
 * of the MOLDRIN_OPS_ codes below; with a result structure given, that also
 * says why (the field at fault, the printer's reply, a reason text) and what the
 * printer answered in numbers.
 *
 * Exactly once. When a command's reply does not come (a time-out, the printer
 * unplugged or restarted), the operation reads the printer's counters, totals
 * and last command to learn whether it carried the command out: when it did,
 * the operation succeeds without sending it again (result.recovered is 1);
 * when it did not, the command is sent again. When the printer cannot be read
 * either, the operation answers MOLDRIN_OPS_UNDECIDED and remembers the command:
 * calling the same operation again with the same arguments settles it first
 * and never sends an executed command twice; any other operation settles it
 * first too (MoldrinOpsSettle does only that).
 *
 * Texts are NUL-terminated Windows-1252. The calls are __stdcall on 32-bit
 * Windows, like those of moldrin.h, exported by undecorated name (the import
 * library MoldrinOps.lib binds the decorated names a C caller asks for), and run
 * one at a time (another thread waits).
 *
 * The two structures have no padding the compiler chooses: every member sits at
 * a multiple of its size and the reserved members fill the gaps, so their layout
 * is the same whatever the caller's packing (/Zp, #pragma pack, Delphi's {$A}).
 */
#ifndef MOLDRIN_OPS_H
#define MOLDRIN_OPS_H

#include "moldrin.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(MOLDRIN_OPS_BUILDING)
#define MOLDRIN_OPS_API __declspec(dllexport)
#else
#define MOLDRIN_OPS_API __declspec(dllimport)
#endif
#else
#define MOLDRIN_OPS_API __attribute__((visibility("default")))
#endif

/* Results. */
#define MOLDRIN_OPS_OK 0
#define MOLDRIN_OPS_NO_SESSION (-1)     /* no ECFOpen session */
#define MOLDRIN_OPS_BAD_ARGUMENT (-2)   /* nothing sent; result.field names the argument */
#define MOLDRIN_OPS_REFUSED (-3)        /* the printer or the fiscal capture refused: result.reply */
#define MOLDRIN_OPS_NOT_DELIVERED (-4)  /* the printer did not take the command, nor a second time */
#define MOLDRIN_OPS_UNDECIDED (-5)      /* no reply, and the printer could not be asked whether it
                                           carried the command out: call again to settle it */

typedef struct MoldrinOpsResult {
    int status;              /* the operation's result, again */
    char field[32];          /* the argument at fault (MOLDRIN_OPS_BAD_ARGUMENT), else empty */
    char reason[256];        /* why it failed, readable; empty on success */
    char reply[132];         /* the reply to the command (the printer's or the library's) */
    int printerCode;         /* nnnn of ".+nnnn}" or ".-nnnn}"; -1 when the reply has none */
    int recovered;           /* 1: the reply was lost, and the printer showed it had carried
                                the command out */
    int resent;              /* times the command was sent again because the printer had not
                                carried it out */
    unsigned itemNumber;     /* MoldrinSellItem: the number of the item just sold */
    unsigned coo;            /* document counter after the operation */
    unsigned ccf;            /* fiscal coupon counter */
    unsigned gnf;            /* non-fiscal document counter */
    unsigned crz;            /* Z reduction counter */
    long long subtotal;      /* the open coupon's subtotal after the operation */
    long long change;        /* MoldrinPay: the change to give back */
} MoldrinOpsResult;

/* A fiscal coupon. buyer: the buyer's CPF (11 digits) or CNPJ (14 digits), or
 * "" / NULL for none. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinOpenCoupon(const char *buyer, MoldrinOpsResult *result);
/* The buyer of the open coupon, given after its opening. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSetBuyer(const char *buyer, MoldrinOpsResult *result);
/* Sells an item; when no coupon is open, opens one first (without a buyer).
 *   code           1 to 13 characters
 *   description    1 to 63 characters (24 are printed on the item's line, the rest after)
 *   quantity       thousandths, 1 to 9 999 999
 *   unit           "un", "Kg", "m" or "l"
 *   unitPrice      1 to 99 999 999, with priceDecimals (2 or 3) decimals
 *   taxCode        "T01".."T15", "S01".."S15" (the printer's rate table), "I", "N" or "F"
 * The item total is quantity x price, truncated to cents, as the printer counts it.
 * result.itemNumber: the item's number in the coupon (for MoldrinCancelItem). */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSellItem(const char *code, const char *description,
                                                    long long quantity, const char *unit,
                                                    long long unitPrice, int priceDecimals,
                                                    const char *taxCode, MoldrinOpsResult *result);
/* A discount on the item sold last, 1 to 99 999 999 cents and below its total. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinItemDiscount(long long amount, MoldrinOpsResult *result);
/* Cancels item itemNumber of the open coupon (1 to 999), or the last one with 0. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinCancelItem(int itemNumber, MoldrinOpsResult *result);
/* A discount below the subtotal, or an increase (one a coupon, at most 99 999 999 999
 * cents), on the subtotal, before any payment; both end the sale of items. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSubtotalDiscount(long long amount, MoldrinOpsResult *result);
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSubtotalIncrease(long long amount, MoldrinOpsResult *result);
/* A payment by method 1 to 10 (as named in the printer); what goes beyond what is
 * due is change (result.change). */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinPay(int method, long long amount, MoldrinOpsResult *result);
/* Closes the paid coupon with a message of at most 480 characters ("" for none). */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinCloseCoupon(const char *message, MoldrinOpsResult *result);
/* Cancels the open coupon, or the one closed last while nothing was issued after it. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinCancelCoupon(MoldrinOpsResult *result);
/* A non-fiscal receipt of one operation: totalizer 1 to 51, paid by method 1 to 10,
 * amount in cents, a text of at most 480 characters. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinNonFiscalReceipt(int totalizer, int method, long long amount,
                                                            const char *text, MoldrinOpsResult *result);
/* The X reading, printed. */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinXReading(MoldrinOpsResult *result);
/* The Z reduction: closes the fiscal day (with the capture on, the day's fiscal file
 * is made before this returns). */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinZReduction(MoldrinOpsResult *result);
/* Settles a command left undecided, sending nothing new. MOLDRIN_OPS_OK when none is
 * left or it is settled (result.recovered says whether the printer had carried it out). */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinOpsSettle(MoldrinOpsResult *result);

/* What a point of sale reads of the printer. */
#define MOLDRIN_DOCUMENT_NONE 0
#define MOLDRIN_DOCUMENT_COUPON 1
#define MOLDRIN_DOCUMENT_NON_FISCAL 2
typedef struct MoldrinOpsStatus {
    unsigned coo, ccf, gnf, crz;      /* counters */
    long long grandTotal;             /* cents */
    long long grossDailySale;         /* the day's gross sale */
    long long cancellations;          /* the day's cancellations (goods and services) */
    long long discounts;              /* the day's discounts */
    long long increases;              /* the day's increases */
    long long payments[10];           /* the day's totals by payment method 1 to 10 */
    char fiscalDate[7];               /* DDMMYY of the open (or last) fiscal day */
    char clock[11];                   /* the printer's clock, DDMMYYhhmm */
    char factoryNumber[10];
    char modelLetter;                 /* below 'G': dot-matrix */
    char reserved1[3];
    int extended;                     /* 1: a model with the extended status */
    int document;                     /* MOLDRIN_DOCUMENT_ */
    unsigned items;                   /* items of the open coupon */
    unsigned reserved2;
    long long subtotal;               /* of the open coupon */
    int lastCommand;                  /* code of the last command the printer carried out */
    int lastRefused;                  /* 1: it refused that command */
    unsigned lastReplyCode;           /* nnnn of its reply */
    char paper[16];                   /* the paper-status reply, as the printer gave it */
    char reserved3[4];
} MoldrinOpsStatus;
/* Reads the printer's status records. MOLDRIN_OPS_OK, or an error with result's reason
 * (result may be NULL). */
MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinReadStatus(MoldrinOpsStatus *status, MoldrinOpsResult *result);

/* The reason text of a result code, e.g. for MOLDRIN_OPS_UNDECIDED. */
MOLDRIN_OPS_API const char *MOLDRIN_STDCALL MoldrinOpsResultText(int status);

#ifdef __cplusplus
}
#endif

#endif /* MOLDRIN_OPS_H */
