/* Names and ids of the library's resources, shared by the resource script and the
 * dialog procedures. Plain preprocessor so the resource compiler reads it. */
#ifndef MOLDRIN_RESOURCE_IDS_H
#define MOLDRIN_RESOURCE_IDS_H

#define kDialogInfo "IDD_INFO"
#define kDialogQuestion "IDD_PERGUNTA"
#define kDialogIdentification 105
#define kIconLibrary 103

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

/* The text field of both boxes. */
#define kIdcMessage 1063

/* The identification dialog's edit controls. */
#define kIdcOrderNumber 1000
#define kIdcAppVersion 1001
#define kIdcAppName 1002
#define kIdcProgramData 1004
#define kIdcDeveloperId 1006
#define kIdcStateReg 1007
#define kIdcCityReg 1008
#define kIdcSoftwareHouse 1009
#define kIdcCoo 1010
#define kIdcFactoryNumber 1011

#endif
