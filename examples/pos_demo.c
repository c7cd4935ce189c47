/* A point-of-sale application in miniature: it loads libmoldrin the way a
 * real one does, opens a session on COM1, reads two status records and closes. */
#include <stdio.h>
#include <string.h>

#include "moldrin.h"

static void show(const char *what, int result) {
    char reply[1728];
    memset(reply, 0, sizeof reply);
    ECFRead(reply, sizeof reply);
    printf("%-24s -> %2d  reply: %s\n", what, result, reply);
}

int main(void) {
    char version[1025];
    char logPath[300];
    SistemaGetVersion(version);
    printf("library: %s\n", version);

    int r = ECFOpen(1, 2, 1, 0);
    printf("ECFOpen(COM1)            -> %2d\n", r);
    if (r != 0) {
        ECFClose();
        return 1;
    }
    show("ECFWrite(ESC .271})", ECFWrite("\x1B.271}"));
    show("ECFWrite(ESC .28})", ECFWrite("\x1B.28}"));
    ECFPathLog(logPath);
    printf("traffic log: %s\n", logPath);
    r = ECFClose();
    printf("ECFClose()               -> %2d\n", r);
    return r == 0 ? 0 : 1;
}
