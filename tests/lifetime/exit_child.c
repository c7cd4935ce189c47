/* A point-of-sale program that leaves its session to the library's unload, in
 * one of the ways real programs do; the lifetime tests run it as a child. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef int (*OpenFn)(int, unsigned, unsigned, int);
typedef int (*CloseFn)(void);
typedef int (*WriteFn)(const char*);

static CloseFn closeSession;
static WriteFn writeCommand;
static volatile int writing;

static void CloseAtExit(void) { closeSession(); }

static void* CloseTheDay(void* unused) {
    (void)unused;
    writing = 1;
    writeCommand("\x1B.14}");
    return NULL;
}

/* Whether a file under $MOLDRIN_ROOT exists. */
static int RootHas(const char* relative) {
    char path[1024];
    const char* root = getenv("MOLDRIN_ROOT");
    if (!root) return 0;
    snprintf(path, sizeof path, "%s/%s", root, relative);
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    fclose(f);
    return 1;
}

static void* KeepWriting(void* unused) {
    (void)unused;
    for (;;) {
        writing = 1;
        writeCommand("\x1B.30}");
    }
    return NULL;
}

static void Pause(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

/* argv[1]: the library; argv[2]: return, atexit, dlclose, thread, worker or
 * generation. */
int main(int argc, char** argv) {
    if (argc < 3) return 90;
    const char* mode = argv[2];
    if (strcmp(mode, "atexit") == 0) atexit(CloseAtExit);
    void* lib = dlopen(argv[1], RTLD_NOW);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 91;
    }
    OpenFn open = (OpenFn)dlsym(lib, "ECFOpen");
    closeSession = (CloseFn)dlsym(lib, "ECFClose");
    writeCommand = (WriteFn)dlsym(lib, "ECFWrite");
    if (!open || !closeSession || !writeCommand) return 92;
    if (open(1, 1, 500, 0) != 0) return 93;
    if (writeCommand("\x1B.271}") != 0) return 94;

    if (strcmp(mode, "return") == 0) return 3;
    if (strcmp(mode, "atexit") == 0) return 4;
    if (strcmp(mode, "dlclose") == 0) {
        dlclose(lib);
        exit(5);
    }
    if (strcmp(mode, "thread") == 0) {
        pthread_t t;
        if (pthread_create(&t, NULL, KeepWriting, NULL) != 0) return 95;
        while (!writing) Pause(1);
        /* Well inside the write: the printer answers nothing. */
        Pause(200);
        return 6;
    }
    if (strcmp(mode, "worker") == 0) {
        /* The command leaves status 28 stale; the printer holds the worker's
         * query for it, and the program ends meanwhile. */
        if (writeCommand("\x1B.13STEXTO}") != 0) return 97;
        Pause(300);
        return 7;
    }
    if (strcmp(mode, "generation") == 0) {
        pthread_t t;
        long waited = 0;
        if (pthread_create(&t, NULL, CloseTheDay, NULL) != 0) return 95;
        /* The day's fiscal file is being made once its work file exists. */
        while (!RootHas("c/TALMA/RFD/TALMA.TMP") && waited < 20000) {
            Pause(1);
            ++waited;
        }
        if (waited >= 20000) return 98;
        return 8;
    }
    return 96;
}
