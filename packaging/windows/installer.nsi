; The Windows installer of the Quorna Fobit Reader (NSIS 3, built on Linux by
; scripts/package-windows.sh). Defines given on the command line:
;   BUILD_DIR  folder holding the files to ship: quorna-fobit-reader.exe, onewire.dll
;   OUT_FILE   the installer to write
;   WIN64      set for the 64-bit build: a 64-bit installer (it runs where 32-bit programs cannot)
;              that installs under the 64-bit Program Files and registry view
!ifdef WIN64
Target amd64-unicode
!else
Unicode true
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define PRODUCT "Quorna Fobit Reader"
!define PROGRAM "quorna-fobit-reader.exe"
!define VERSION_TEXT "1.3.17"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuornaFobitReader"
!define SOURCE_DIR "${__FILEDIR__}"

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
Icon "${SOURCE_DIR}\..\..\resources\quorna.ico"
UninstallIcon "${SOURCE_DIR}\..\..\resources\quorna.ico"
!ifdef WIN64
InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
InstallDir "$PROGRAMFILES\${PRODUCT}"
!endif

VIProductVersion 1.3.0.17
VIFileVersion 1.3.0.17
VIAddVersionKey /LANG=1033 ProductName "${PRODUCT}"
VIAddVersionKey /LANG=1033 CompanyName "Quorna Ltd."
VIAddVersionKey /LANG=1033 LegalCopyright "Copyright (c) 2026 Quorna Ltd. All rights reserved."
VIAddVersionKey /LANG=1033 FileDescription "${PRODUCT} ${VERSION_TEXT} setup"
VIAddVersionKey /LANG=1033 FileVersion "1.3.0.17"
VIAddVersionKey /LANG=1033 ProductVersion "1.3.0.17"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
!ifdef WIN64
  SetRegView 64
!endif
FunctionEnd

Function un.onInit
!ifdef WIN64
  SetRegView 64
!endif
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}\${PROGRAM}"
  File "${BUILD_DIR}\onewire.dll"
  ; The example settings map nothing; an operator's edited file survives a reinstall.
  SetOverwrite off
  File "${BUILD_DIR}\onewire.conf"
  SetOverwrite on
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION_TEXT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quorna Ltd."
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\${PROGRAM}"
  Delete "$INSTDIR\onewire.dll"
  Delete "$INSTDIR\onewire.conf"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
