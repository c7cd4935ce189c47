/* Moldrin: fiscal printer (ECF) driver.
 *
 * The ten exported calls of the library and the operator hook. All text is
 * NUL-terminated Windows-1252. On 32-bit Windows the calls use __stdcall,
 * except ECFTxFast (__cdecl), and are exported by undecorated name. */
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

/* Session. */
MOLDRIN_API int MOLDRIN_STDCALL ECFOpen(int port, unsigned int timeoutSeconds,
                                        unsigned int logMode, int showDialogs);
MOLDRIN_API int MOLDRIN_STDCALL ECFClose(void);

/* Commands. */
MOLDRIN_API int MOLDRIN_STDCALL ECFWrite(const char *command);
MOLDRIN_API int MOLDRIN_STDCALL ECFRead(char *buffer, unsigned int length);
MOLDRIN_API int MOLDRIN_STDCALL SetTimeoutRead(unsigned int seconds);
MOLDRIN_API int MOLDRIN_STDCALL ECFPathLog(char *buffer);
MOLDRIN_API int MOLDRIN_STDCALL ECFswLFs(void);
MOLDRIN_API int MOLDRIN_STDCALL SetTesteCTS(int enabled);
MOLDRIN_API int MOLDRIN_CDECL ECFTxFast(const char *bytes, unsigned int count);

/* Version text, "Moldrin 3, 0, 0, 19" for this build. The buffer needs room
 * for 1025 bytes. */
MOLDRIN_API void MOLDRIN_STDCALL SistemaGetVersion(char *buffer);

/* The operator: how boxes, questions, message boxes and the identification
 * dialog reach a person. Every text is Windows-1252, as the library holds it.
 * A null member keeps the library's own behaviour for that kind of message. */
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

/* Installs the application's operator (copied); null puts the default back. */
MOLDRIN_API void MOLDRIN_STDCALL ECFSetOperator(const MoldrinOperator *op);

#ifdef __cplusplus
}
#endif
#endif
