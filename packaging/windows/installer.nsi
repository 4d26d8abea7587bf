; The Windows installer of the Quorna Fobit Reader (NSIS 3, built on Linux by
; scripts/package-windows.sh). Defines given on the command line:
;   BUILD_DIR  folder holding the files to ship: quorna-fobit-reader.exe, onewire.dll,
;              quorna-reader-check.exe and the example onewire.conf
;   OUT_FILE   the installer to write
;   HELPER_DIR folder holding quorna-settings-folder.exe, which the installer runs and does not
;              install
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
!define CHECK "quorna-reader-check.exe"
!define CHECK_SHORTCUT "$SMPROGRAMS\${PRODUCT} reader check.lnk"
!define VERSION_TEXT "1.3.17"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuornaFobitReader"
!define SOURCE_DIR "${__FILEDIR__}"
!define SETTINGS_HELPER "quorna-settings-folder.exe"
; Its exit statuses (SettingsFolderPolicy.h).
!define SETTINGS_KEPT 0
!define SETTINGS_MISSING 10
!define SETTINGS_MOVED_ASIDE 11

!include MUI2.nsh

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
!define MUI_ICON "${SOURCE_DIR}\..\..\resources\quorna.ico"
!define MUI_UNICON "${SOURCE_DIR}\..\..\resources\quorna.ico"
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

; The last page says where the settings are, which as installed map no port, and offers to open
; them and to run the reader check.
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_FINISHPAGE_TEXT "${PRODUCT} is installed.$\r$\n$\r$\nIts settings for every user of \
  this computer are in$\r$\n  $APPDATA\onewire\onewire.conf$\r$\nAs first installed they name no \
  reader: add the line for yours (owserver on the machine the reader is attached to, or a \
  virtual reader to try the program). A user's own %APPDATA%\onewire\onewire.conf, where one \
  exists, is used instead. The reader check (in the Start menu) shows what the program sees."
!define MUI_FINISHPAGE_SHOWREADME
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open the settings in Notepad"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION OpenSettings
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Run the reader check"
!define MUI_FINISHPAGE_RUN_NOTCHECKED
!define MUI_FINISHPAGE_RUN_FUNCTION RunReaderCheck
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

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

; With SetShellVarContext all, $APPDATA is the machine's program data (%ProgramData%).
Function OpenSettings
  SetShellVarContext all
  Exec '"$WINDIR\notepad.exe" "$APPDATA\onewire\onewire.conf"'
FunctionEnd

; In a console window that stays open, so its report can be read.
Function RunReaderCheck
  Exec '"$SYSDIR\cmd.exe" /k ""$INSTDIR\${CHECK}""'
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}\${PROGRAM}"
  File "${BUILD_DIR}\onewire.dll"
  File "${BUILD_DIR}\${CHECK}"
  File "${BUILD_DIR}\README.md"
  SetOutPath "$INSTDIR\docs"
  File "${BUILD_DIR}\docs\*.*"
  SetOutPath "$INSTDIR"
  ; The machine's settings, kept where Windows keeps program data, in a folder only
  ; administrators may change (ordinary users may create folders and files in %ProgramData%,
  ; and settings there map ports for every user). The helper makes the folder so and judges the
  ; settings file in it: an administrator's is kept, so an operator's edit survives a reinstall
  ; and the uninstall; anyone else's is moved aside (onewire.conf.replaced) and the example (it
  ; maps nothing) written instead. Settings an earlier version kept beside the program move there
  ; rather than being lost.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\${SETTINGS_HELPER}" "${HELPER_DIR}\${SETTINGS_HELPER}"
  ; Hidden, its report in the details.
  nsExec::ExecToLog '"$PLUGINSDIR\${SETTINGS_HELPER}" "$APPDATA\onewire"'
  Pop $0
  Delete "$PLUGINSDIR\${SETTINGS_HELPER}"
  StrCmp $0 ${SETTINGS_KEPT} settings_done
  StrCmp $0 ${SETTINGS_MISSING} settings_new
  StrCmp $0 ${SETTINGS_MOVED_ASIDE} settings_new
  MessageBox MB_OK|MB_ICONSTOP "The settings folder $APPDATA\onewire could not be made one that \
    only administrators may change (status $0): the installation stops." /SD IDOK
  SetErrorLevel 2
  Abort
settings_new:
  IfFileExists "$INSTDIR\onewire.conf" 0 settings_example
  Rename "$INSTDIR\onewire.conf" "$APPDATA\onewire\onewire.conf"
  Goto settings_done
settings_example:
  SetOutPath "$APPDATA\onewire"
  File "${BUILD_DIR}\onewire.conf"
  SetOutPath "$INSTDIR"
settings_done:
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0
  CreateShortCut "${CHECK_SHORTCUT}" "$SYSDIR\cmd.exe" '/k ""$INSTDIR\${CHECK}""' \
    "$INSTDIR\${PROGRAM}" 0

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
  Delete "${CHECK_SHORTCUT}"
  Delete "$INSTDIR\${PROGRAM}"
  Delete "$INSTDIR\${CHECK}"
  Delete "$INSTDIR\onewire.dll"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\docs\*.*"
  RMDir "$INSTDIR\docs"
  ; The settings in program data stay, as an edited file does on Linux.
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
