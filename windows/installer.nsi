; The installer of the developer's kit for Windows: Moldrin.dll and MoldrinOps.dll (32 and 64-bit)
; with their import libraries, the headers, the Pascal units, the C# sources, the C example, the
; manual and the licence, in one folder with an
; uninstaller. windows/ci.sh lays out the kit and runs:
;   makensis -DVERSION=3.0.0.19 -DKIT=<kit folder> -DOUTFILE=<setup.exe> [-DTARGET=amd64-unicode] installer.nsi
; Silent install: setup.exe /S [/D=C:\Moldrin]   (the /D= folder last, unquoted)
!ifndef TARGET
  !define TARGET x86-unicode      ; runs on every Windows, 32-bit ones included
!endif
Target ${TARGET}
SetCompressor /SOLID lzma

Name "Moldrin ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Moldrin"
RequestExecutionLevel admin
LicenseData "${KIT}\LICENSE.txt"
ShowInstDetails show

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Moldrin"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Moldrin"
  SetOutPath "$INSTDIR"
  File /r "${KIT}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Moldrin ${VERSION} (fiscal printer driver, developer's kit)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only what the kit put there goes, never the whole folder: it may be one the user chose
; and shares with other files.
Section "Uninstall"
  RMDir /r "$INSTDIR\bin32"
  RMDir /r "$INSTDIR\bin64"
  RMDir /r "$INSTDIR\lib32"
  RMDir /r "$INSTDIR\lib64"
  RMDir /r "$INSTDIR\include"
  RMDir /r "$INSTDIR\pascal"
  RMDir /r "$INSTDIR\csharp"
  RMDir /r "$INSTDIR\examples"
  RMDir /r "$INSTDIR\doc"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
