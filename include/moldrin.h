/* Moldrin: fiscal printer (ECF) driver.
 *
 * The ten exported calls of the library and the operator hook. All text is
 * NUL-terminated Windows-1252. On 32-bit Windows the calls use __stdcall,
 * except ECFTxFast (__cdecl), and are exported by undecorated name; the
 * operator callbacks are plain __cdecl function pointers.
 *
 * A session, in order:
 *   ECFOpen(1, 10, 500, 0);                    COM1, 10 s, 500 KB log, no boxes
 *   ECFWrite("\x1B.271}");                     one command
 *   ECFRead(reply, sizeof reply);              its reply (reply: 132..1728 bytes)
 *   ECFClose();
 *
 * Result codes: 0 success, -1 failure, unless a call says otherwise. Before the
 * first ECFOpen and after ECFClose the calls that need a session return -1 and
 * say nothing. Otherwise why a call failed is written in the traffic log
 * (ECFPathLog) and, with dialogs on, shown in a box through the operator.
 *
 * Any call may be made from any thread; the library runs one call at a time
 * (a second thread waits for the first), except SetTesteCTS, SistemaGetVersion
 * and ECFSetOperator, which never wait for another call, and ECFTxFast and
 * ECFOpen, which wait as follows.
 * ECFTxFast waits, at most a minute, for a call using the port and for the
 * fiscal capture's own query, and then returns 0 without sending.
 * ECFOpen waits for no other call but an open or close running on another
 * thread (an open searching the line speed of a silent printer takes a minute or
 * more); ECFOpen and ECFClose wait for such a one at most the read time-out and
 * half a second, then give -1 and log "ERRO - ECFopen() NÃO ATENDIDO: SESSÃO
 * OCUPADA POR OUTRA THREAD" (or "ECFClose()").
 *
 * Replies. A printer reply record is "." ... "}", at most 128 bytes. When a
 * command was not delivered or answered, ECFWrite leaves a reply of the same form
 * that the library made up:
 *   ".-P002}"  the command did not reach the printer (refused before sending,
 *              line failure while sending, or no line speed found);
 *   ".-P006}"  the command was sent but no valid reply came; also the fiscal
 *              capture's refusal of a fiscal command for want of the application's
 *              registration (c:\TALMA\RFD\E00.BIN, dot-matrix printers: write it
 *              with `moldrin register --from-printer` before the first sale);
 *   ".-P666}"  the fiscal capture could not take its lock;
 *   ".+0001}"  a capture-file path written with ECFWrite was processed;
 *   ".-0000ERRO - FORMATO DO COMANDO INVÁLIDO}" and
 *   ".-nnnnERRO - VENDA EXCEDE LIMITE EM NÚMERO DE ITENS}" (nnnn: the
 *              command's code and parameters) the fiscal capture refused the command.
 */
#ifndef MOLDRIN_H
#define MOLDRIN_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define MOLDRIN_STDCALL __stdcall
#define MOLDRIN_CDECL __cdecl
#if defined(MOLDRIN_BUILDING)
#define MOLDRIN_API __declspec(dllexport)
#else
#define MOLDRIN_API __declspec(dllimport)
#endif
#else
#define MOLDRIN_STDCALL
#define MOLDRIN_CDECL
#define MOLDRIN_API __attribute__((visibility("default")))
#endif

/* Sizes of the buffers the application hands in. */
#define MOLDRIN_COMMAND_MAX 1500     /* characters of one command, without the NUL */
#define MOLDRIN_REPLY_MIN 132        /* ECFRead refuses a shorter length ... */
#define MOLDRIN_REPLY_MAX 1728       /* ... and a longer one */
#define MOLDRIN_LOG_PATH_SIZE 260    /* ECFPathLog writes at most this many bytes */
#define MOLDRIN_VERSION_SIZE 1025    /* SistemaGetVersion writes at most this many bytes */

/* Opens the one session of the process.
 *   port            COM port number, 1-based: 1 = COM1 ... 16 = COM16. On Linux
 *                   COM<n> is the device named by $MOLDRIN_COM<n> (a tty,
 *                   "unix:PATH" or "tcp:HOST:PORT"), else /dev/ttyS<n-1>.
 *   timeoutSeconds  1 to 60: the wait for each hand-shake byte and each reply record.
 *   logMode         traffic log: 0 none, 1 renewed weekly, 2 or more renewed when it
 *                   reaches that many kilobytes (500 is usual).
 *   showDialogs     non-zero: errors are also shown in boxes (through the operator).
 * 0: open. -1: not open; the traffic log says why (port 0, time-out out of range,
 * no such port, port busy or missing).
 * A session already open makes ECFOpen fail (-1) and leaves that session alone.
 * After a failed ECFOpen, except one for port 0, every later ECFOpen fails too
 * until ECFClose is called: call ECFClose after any failed ECFOpen. The line speed
 * (9600, 19200, 38400, 57600 or 115200 bit/s) is found by itself; a printer that
 * does not answer still gives 0, and every ECFWrite then tries again. */
MOLDRIN_API int MOLDRIN_STDCALL ECFOpen(int port, unsigned int timeoutSeconds,
                                        unsigned int logMode, int showDialogs);
/* Ends the session and frees the port. 0: closed (also when the port reported an
 * error on closing, which is logged); -1: no session. Also needed after a failed
 * ECFOpen. The library closes a session left open when the process ends. */
MOLDRIN_API int MOLDRIN_STDCALL ECFClose(void);

/* Sends one command: ESC "." two-digit code, parameters, "}", at most
 * MOLDRIN_COMMAND_MAX characters; anything after the first "}" is not sent.
 * 0: the command was dealt with and its reply, or a made-up reply (above), waits
 * for ECFRead. Status queries (codes 23, 27, 28, 29) give 0 even when the printer
 * stays silent: read the reply. -1: failure (no session, a command too long or
 * malformed, a line failure); ECFRead then gives ".-P002}", ".-P006}" or the reply
 * the failing step left. */
MOLDRIN_API int MOLDRIN_STDCALL ECFWrite(const char *command);
/* Copies the last reply, NUL-terminated, into buffer; the rest of the buffer is
 * zeroed. length must be MOLDRIN_REPLY_MIN (132) to MOLDRIN_REPLY_MAX (1728): any
 * other length gives -1 and copies nothing (a 2048-byte buffer must be passed as
 * 1728). Reading does not consume the reply; the next ECFWrite replaces it. Right
 * after ECFOpen the reply is empty. 0: copied; -1: no session or bad length. */
MOLDRIN_API int MOLDRIN_STDCALL ECFRead(char *buffer, unsigned int length);
/* Changes the time-out of an open or a future session. 0: accepted (1 to 60);
 * 1 (not -1): refused, the time-out stays as it was; -1: no session was ever
 * opened, or it was closed. */
MOLDRIN_API int MOLDRIN_STDCALL SetTimeoutRead(unsigned int seconds);
/* Writes where the traffic log goes, in its Windows form, e.g.
 * "c:\TEMP\ECF-quarta.CM1" (one file per weekday and port), or
 * "   [ S E M   L O G ]" with log mode 0. On Linux c:\X is $MOLDRIN_ROOT/c/X
 * ($MOLDRIN_ROOT defaults to ~/.moldrin); `moldrin log` shows the file readable.
 * The buffer needs MOLDRIN_LOG_PATH_SIZE bytes. 0: written; -1: no session. */
MOLDRIN_API int MOLDRIN_STDCALL ECFPathLog(char *buffer);
/* Sends the fixed line-feed command ESC ".0893}" by the fast writer and reads no
 * reply. Result: bytes sent (0 on a line failure), or -1 with no session. */
MOLDRIN_API int MOLDRIN_STDCALL ECFswLFs(void);
/* Non-zero: the transmitter reads CTS before each byte; 0 (the default): CTS is
 * taken as present. Applies from the next byte sent. Always 0. */
MOLDRIN_API int MOLDRIN_STDCALL SetTesteCTS(int enabled);
/* Writes raw bytes to the session's port, outside the one-call-at-a-time rule and
 * without reading a reply. count 0: text mode, up to and including the first "}"
 * (at most 512 bytes); count above 0: exactly count bytes. Result: bytes sent (in
 * text mode those before the "}"), 0 on a line failure or with no session, -1
 * when DSR fails in binary mode. __cdecl on 32-bit Windows. */
MOLDRIN_API int MOLDRIN_CDECL ECFTxFast(const char *bytes, unsigned int count);

/* Version text, "Moldrin 3, 0, 0, 19" for this build (the product name, a blank,
 * the product version). The buffer needs MOLDRIN_VERSION_SIZE bytes. No session needed. */
MOLDRIN_API void MOLDRIN_STDCALL SistemaGetVersion(char *buffer);

/* The operator: how boxes, questions, message boxes and the identification
 * dialog reach a person. Every text is Windows-1252, as the library holds it.
 * A null member keeps the library's own behaviour for that kind of message: on
 * Windows the library's dialogs, on Linux one line on standard error (questions
 * answered yes, the identification cancelled). The callbacks may be called on
 * the application's thread or on the library's capture thread, and must not
 * call back into the library (the call that raised the box is still running). */
typedef struct MoldrinIdentification {
    char orderNumber[3];      /* application order number, digits */
    char appVersion[11];      /* application version */
    char appName[41];         /* application name */
    char programData[85];     /* application program data */
    char developerId[15];     /* developer CNPJ/CPF, digits */
    char stateReg[15];        /* developer state registration (I.E.), digits */
    char cityReg[15];         /* developer municipal registration (I.M.), digits */
    char softwareHouse[41];   /* software house name */
    char coo[7];              /* COO at the change of application, digits */
    char factoryNumber[10];   /* printer factory number */
} MoldrinIdentification;

/* Message box styles and answers, with the values of the Windows message box. */
#define MOLDRIN_MB_OK 0x00u
#define MOLDRIN_MB_YESNO 0x04u
#define MOLDRIN_MB_ICONERROR 0x10u
#define MOLDRIN_ID_OK 1
#define MOLDRIN_ID_YES 6
#define MOLDRIN_ID_NO 7

typedef struct MoldrinOperator {
    void *context;
    /* Information box with one button; returns when the operator closed it. */
    void (*infoBox)(void *context, const char *text);
    /* Yes/no question: 1 yes, 0 no. */
    int (*questionBox)(void *context, const char *text);
    /* Message box with a caption and MOLDRIN_MB_* style; returns MOLDRIN_ID_*. */
    int (*messageBox)(void *context, const char *text, const char *caption, unsigned int style);
    /* Identification dialog: fields come pre-filled; the operator's entries
     * replace them. 1 after OK, 0 after cancel. */
    int (*identify)(void *context, const char *caption, MoldrinIdentification *fields);
} MoldrinOperator;

/* Installs the application's operator (the structure is copied, the context is
 * passed back as given); null puts the default back. The functions must stay
 * valid until another operator is installed or the library is unloaded. */
MOLDRIN_API void MOLDRIN_STDCALL ECFSetOperator(const MoldrinOperator *op);

#ifdef __cplusplus
}
#endif
#endif
