/* A POS program as a developer writes it: plain C, moldrin.h, linked against the import
 * library (Moldrin.lib) instead of looking the calls up by name. It links only when the
 * import library resolves every declaration of the header (the __stdcall names of
 * 32-bit Windows above all); run, it opens a session on COM1 when MOLDRIN_COM1 names a
 * simulator and reads status 1. Prints "link: N passed, M failed". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "moldrin.h"

static int passed, failed;

static void check(int ok, const char *what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("    %s\n", what);
    }
}

static void ShowBox(void *context, const char *text) {
    (void)context;
    printf("box: %s\n", text);
}

int main(void) {
    char version[MOLDRIN_VERSION_SIZE] = {0};
    char path[MOLDRIN_LOG_PATH_SIZE] = {0};
    char reply[MOLDRIN_REPLY_MAX] = {0};
    MoldrinOperator op;

    /* Every call of the header, once, outside a session: what each answers then. */
    SistemaGetVersion(version);
    check(strncmp(version, "Moldrin 3,", 10) == 0, "SistemaGetVersion");
    check(SetTesteCTS(0) == 0, "SetTesteCTS");
    check(ECFWrite("\x1B.28}") == -1, "ECFWrite without a session");
    check(ECFRead(reply, sizeof reply) == -1, "ECFRead without a session");
    check(SetTimeoutRead(10) == -1, "SetTimeoutRead without a session");
    check(ECFPathLog(path) == -1, "ECFPathLog without a session");
    check(ECFswLFs() == -1, "ECFswLFs without a session");
    check(ECFTxFast("\x1B.0893}", 0) == 0, "ECFTxFast without a session");
    check(ECFClose() == -1, "ECFClose without a session");
    memset(&op, 0, sizeof op);
    op.infoBox = ShowBox;
    ECFSetOperator(&op);
    ECFSetOperator(NULL);

    if (getenv("MOLDRIN_COM1") && *getenv("MOLDRIN_COM1")) {
        check(ECFOpen(1, 5, 500, 0) == 0, "ECFOpen(COM1) on the simulator");
        check(ECFWrite("\x1B.271}") == 0, "ECFWrite status 1");
        check(ECFRead(reply, sizeof reply) == 0 && strncmp(reply, ".+C", 3) == 0, "ECFRead status 1");
        check(ECFPathLog(path) == 0 && path[0] != 0, "ECFPathLog in a session");
        check(ECFClose() == 0, "ECFClose");
        printf("status 1: %.40s...\n", reply);
    } else {
        printf("MOLDRIN_COM1 is not set: no session on the simulator\n");
    }
    printf("link: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
