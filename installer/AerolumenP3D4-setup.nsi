; Setup of Aerolumen for Prepar3D v4: puts the launcher in place for the current user, without
; administrator rights, with shortcuts that start it in the simulator's folder (the launcher starts
; prepar3d.exe from its current folder), and an entry in Apps & features.
;
; The build (cmake/Installer.cmake) gives these defines:
;   VERSION       the project version, e.g. 1.0.0
;   LAUNCHER      the built AerolumenP3D4.exe
;   USER_GUIDE    the user guide as text with CRLF line endings
;   ICON          the launcher's icon
;   OUTFILE       the setup to write
;   SIGN_COMMAND  (optional) a command that signs, in place, the file named after it; used for the
;                 setup and for the uninstaller inside it
;
; Command line: /S silent; /P3D=<folder> the simulator's folder (spaces and quotes allowed);
; /NODESKTOP no desktop shortcut; /D=<folder> the install folder (last, without quotes).
; Exit codes: 0 done, 1 cancelled, 2 no simulator folder found or given (nothing installed),
; 3 a failure, whose reason is shown, or written to %TEMP%\Aerolumen-P3D4-setup.log when silent.
; The uninstaller takes /S and /REMOVESETTINGS.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!ifdef SIGN_COMMAND
  !finalize `${SIGN_COMMAND} "%1"`
  !uninstfinalize `${SIGN_COMMAND} "%1"`
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define PRODUCT_NAME "Aerolumen for Prepar3D v4"
!define SHORT_NAME "Aerolumen P3D4"
!define PUBLISHER "Aerolumen"
!define LAUNCHER_FILE "AerolumenP3D4.exe"
!define GUIDE_FILE "user-guide.txt"
!define UNINSTALLER_FILE "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Aerolumen P3D4"
!define SIMULATOR_MACHINE_KEY "SOFTWARE\Lockheed Martin\Prepar3D v4"
!define SIMULATOR_USER_KEY "Software\Lockheed Martin\Prepar3D v4"
!define SIMULATOR_EXE "prepar3d.exe"
!define SETTINGS_FOLDER "$APPDATA\Aerolumen"
!define SETTINGS_PREFIX "settings_pro_Aerolumen P3Dv4_"
!define FAILURE_LOG "$TEMP\Aerolumen-P3D4-setup.log"
!define MENU_FOLDER "$SMPROGRAMS\Aerolumen P3D4"
!define LAUNCH_SHORTCUT "Aerolumen P3D4.lnk"
!define RESET_SHORTCUT "Aerolumen P3D4 - reset settings.lnk"
!define GUIDE_SHORTCUT "Aerolumen P3D4 user guide.lnk"
!define ERROR_FAILED 3
!define ERROR_NO_SIMULATOR 2

Name "${PRODUCT_NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Aerolumen P3D4"
; An upgrade goes where the installed copy is, unless /D= says otherwise.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${SHORT_NAME} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show
UninstallCaption "${PRODUCT_NAME} Uninstall"
; Nothing goes into the simulator's folder and the launcher is small: no space figures.
SpaceTexts none

Var SimulatorFolder
Var SimulatorPageText
Var FailureReason
Var RefusedFolder ; given with /P3D= but without prepar3d.exe: shown on the page to be corrected

; ---- Pages

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_UNABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!define MUI_WELCOMEPAGE_TITLE "Aerolumen for Prepar3D v4 ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "This puts the Aerolumen launcher on this computer for you alone; it needs no administrator rights.$\r$\n$\r$\nYou get shortcuts in the Start menu (and on the desktop) that start Prepar3D v4 in VR. Nothing is written into the simulator's folder.$\r$\n$\r$\nClick Next to continue."
!insertmacro MUI_PAGE_WELCOME

!define MUI_PAGE_HEADER_TEXT "Prepar3D v4 folder"
!define MUI_PAGE_HEADER_SUBTEXT "The folder that holds prepar3d.exe; the shortcuts start the launcher in it."
!define MUI_DIRECTORYPAGE_TEXT_TOP "$SimulatorPageText"
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Prepar3D v4 folder (the one that holds prepar3d.exe)"
!define MUI_DIRECTORYPAGE_VARIABLE $SimulatorFolder
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE SimulatorPageLeave
!insertmacro MUI_PAGE_DIRECTORY

!define MUI_PAGE_HEADER_TEXT "Install folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where the launcher, its user guide and the uninstaller go."
!define MUI_DIRECTORYPAGE_TEXT_TOP "The launcher, the user guide and the uninstaller go into this folder. Any folder you may write to will do; the shortcuts find the simulator by themselves."
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TITLE "Aerolumen P3D4 is installed"
!define MUI_FINISHPAGE_TEXT "Start Prepar3D v4 in VR with the shortcut $\"Aerolumen P3D4$\" in the Start menu or on the desktop.$\r$\n$\r$\nThe shortcut $\"Aerolumen P3D4 - reset settings$\" clears the Aerolumen settings first."
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\${GUIDE_FILE}"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the user guide"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_PAGE_HEADER_TEXT "Your Aerolumen settings"
!define MUI_PAGE_HEADER_SUBTEXT "Keep them for a later install, or remove them too."
!define MUI_COMPONENTSPAGE_TEXT_TOP "The uninstaller removes the launcher, its shortcuts and its entry in Apps && features. Your Aerolumen settings stay unless you tick the box below."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Setup of ${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "InternalName" "Aerolumen-P3D4-setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "OriginalFilename" "Aerolumen-P3D4-${VERSION}-setup.exe"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Aerolumen"

; ---- Failures

; Shows the reason (or writes it to the log when silent) and ends with exit code 3.
!macro FailWith reason
  StrCpy $FailureReason "${reason}"
  Call Fail
!macroend

Function Fail
  ${If} ${Silent}
    FileOpen $9 "${FAILURE_LOG}" w
    FileWrite $9 "${SHORT_NAME} setup ${VERSION} failed: $FailureReason$\r$\n"
    FileClose $9
  ${Else}
    MessageBox MB_OK|MB_ICONSTOP "$FailureReason"
  ${EndIf}
  SetErrorLevel ${ERROR_FAILED}
  Quit
FunctionEnd

; NSIS ends the install by itself when it cannot write a file; the reason is given all the same.
Function .onInstFailed
  StrCpy $FailureReason "The install stopped before its end; a file could not be written into $\"$INSTDIR$\" or the Start menu."
  Call Fail
FunctionEnd

; ---- Install

Section "-Launcher, user guide and Start menu" SecMain
  SetShellVarContext current
  SetOverwrite on

  ; An earlier install in another folder: its files go, so that one copy remains.
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
    Delete "$0\${LAUNCHER_FILE}"
    Delete "$0\${GUIDE_FILE}"
    Delete "$0\${UNINSTALLER_FILE}"
    RMDir "$0"
  ${EndIf}
  ; The desktop shortcut is made again below only when chosen.
  Delete "$DESKTOP\${LAUNCH_SHORTCUT}"

  ClearErrors
  CreateDirectory "$INSTDIR"
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    !insertmacro FailWith "The install folder $\"$INSTDIR$\" could not be created."
  ${EndIf}
  ClearErrors
  File "/oname=${LAUNCHER_FILE}" "${LAUNCHER}"
  File "/oname=${GUIDE_FILE}" "${USER_GUIDE}"
  ${If} ${Errors}
    !insertmacro FailWith "The files could not be written into $\"$INSTDIR$\"."
  ${EndIf}
  WriteUninstaller "$INSTDIR\${UNINSTALLER_FILE}"
  ${If} ${Errors}
    !insertmacro FailWith "The uninstaller could not be written into $\"$INSTDIR$\"."
  ${EndIf}

  ; A shortcut's working folder is the output folder at the time it is made.
  ClearErrors
  CreateDirectory "${MENU_FOLDER}"
  SetOutPath "$SimulatorFolder"
  CreateShortcut "${MENU_FOLDER}\${LAUNCH_SHORTCUT}" "$INSTDIR\${LAUNCHER_FILE}" "" \
    "$INSTDIR\${LAUNCHER_FILE}" 0 SW_SHOWNORMAL "" "Start Prepar3D v4 in VR"
  CreateShortcut "${MENU_FOLDER}\${RESET_SHORTCUT}" "$INSTDIR\${LAUNCHER_FILE}" "-ResetConfig" \
    "$INSTDIR\${LAUNCHER_FILE}" 0 SW_SHOWNORMAL "" "Clear the Aerolumen settings, then start Prepar3D v4 in VR"
  SetOutPath "$INSTDIR"
  CreateShortcut "${MENU_FOLDER}\${GUIDE_SHORTCUT}" "$INSTDIR\${GUIDE_FILE}" "" \
    "$INSTDIR\${LAUNCHER_FILE}" 0 SW_SHOWNORMAL "" "The Aerolumen P3D4 user guide"
  ${If} ${Errors}
    !insertmacro FailWith "The Start menu shortcuts could not be made in $\"${MENU_FOLDER}$\"."
  ${EndIf}

  ClearErrors
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${LAUNCHER_FILE},0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER_FILE}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER_FILE}" /S'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "SimulatorFolder" "$SimulatorFolder"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
  ${If} ${Errors}
    !insertmacro FailWith "The entry in Apps & features could not be written."
  ${EndIf}
SectionEnd

Section "Desktop shortcut" SecDesktop
  SetShellVarContext current
  ClearErrors
  SetOutPath "$SimulatorFolder"
  CreateShortcut "$DESKTOP\${LAUNCH_SHORTCUT}" "$INSTDIR\${LAUNCHER_FILE}" "" \
    "$INSTDIR\${LAUNCHER_FILE}" 0 SW_SHOWNORMAL "" "Start Prepar3D v4 in VR"
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    !insertmacro FailWith "The desktop shortcut could not be made."
  ${EndIf}
SectionEnd

; ---- The simulator's folder

; $0 in and out: without surrounding quotes, blanks or trailing backslashes (a drive's root keeps
; its backslash).
Function TidyFolder
  ${Do}
    StrCpy $1 $0 1
    ${If} $1 == '"'
    ${OrIf} $1 == " "
      StrCpy $0 $0 "" 1
    ${Else}
      ${Break}
    ${EndIf}
  ${Loop}
  ${Do}
    StrCpy $1 $0 1 -1
    StrLen $2 $0
    ${If} $1 == '"'
    ${OrIf} $1 == " "
    ${OrIf} $1 == "\"
    ${AndIf} $2 > 3
      StrCpy $0 $0 -1
    ${Else}
      ${Break}
    ${EndIf}
  ${Loop}
FunctionEnd

; $0 in: a folder. $1 out: 1 when it holds prepar3d.exe (a file, not a folder), else 0.
Function HoldsSimulator
  StrCpy $1 0
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${SIMULATOR_EXE}"
  ${AndIfNot} ${FileExists} "$0\${SIMULATOR_EXE}\*.*"
    StrCpy $1 1
  ${EndIf}
FunctionEnd

; $0 in: a candidate folder. Takes it as the simulator's folder when it holds prepar3d.exe.
Function ConsiderFolder
  ${If} $SimulatorFolder == ""
    Call TidyFolder
    Call HoldsSimulator
    ${If} $1 == 1
      StrCpy $SimulatorFolder $0
    ${EndIf}
  ${EndIf}
FunctionEnd

; $R1 out: 1 when the command line has /P3D=, with its folder in $R2. The folder may hold blanks
; and runs to the next " /" or the end; a quote right before the switch or right after the "="
; makes it run to the closing quote instead (how a shell passes a quoted argument).
Function SimulatorOption
  ${GetParameters} $R0
  StrCpy $R1 0
  StrCpy $R2 ""
  StrLen $R3 $R0
  StrCpy $R4 0
  ${DoWhile} $R4 < $R3
    StrCpy $R5 $R0 5 $R4
    ${If} $R5 == "/P3D="
      StrCpy $R1 1
      ${Break}
    ${EndIf}
    IntOp $R4 $R4 + 1
  ${Loop}
  ${If} $R1 == 0
    Return
  ${EndIf}
  StrCpy $R6 "" ; the quote that ends the folder, if any
  ${If} $R4 > 0
    IntOp $R5 $R4 - 1
    StrCpy $R5 $R0 1 $R5
    ${If} $R5 == '"'
      StrCpy $R6 '"'
    ${EndIf}
  ${EndIf}
  IntOp $R4 $R4 + 5
  StrCpy $R2 $R0 "" $R4
  StrCpy $R5 $R2 1
  ${If} $R5 == '"'
    StrCpy $R6 '"'
    StrCpy $R2 $R2 "" 1
  ${EndIf}
  StrLen $R3 $R2
  StrCpy $R4 0
  ${DoWhile} $R4 < $R3
    StrCpy $R5 $R2 1 $R4
    ${If} $R6 == '"'
      ${If} $R5 == '"'
        ${Break}
      ${EndIf}
    ${Else}
      StrCpy $R5 $R2 2 $R4
      ${If} $R5 == " /"
        ${Break}
      ${EndIf}
    ${EndIf}
    IntOp $R4 $R4 + 1
  ${Loop}
  StrCpy $R2 $R2 $R4
FunctionEnd

; A folder given with /P3D= is the only candidate. Otherwise: the simulator's installer's value,
; then the one the simulator writes when it runs, then the folder of an earlier install.
Function FindSimulatorFolder
  StrCpy $SimulatorFolder ""
  Call SimulatorOption
  ${If} $R1 == 1
    StrCpy $0 $R2
    Call ConsiderFolder
    ${If} $SimulatorFolder == ""
      Call TidyFolder
      StrCpy $SimulatorPageText "The folder given, $\"$0$\", does not hold prepar3d.exe. Choose the Prepar3D v4 folder: the one that holds prepar3d.exe."
      StrCpy $RefusedFolder $0
    ${EndIf}
    Return
  ${EndIf}
  SetRegView 64
  ReadRegStr $0 HKLM "${SIMULATOR_MACHINE_KEY}" "SetupPath"
  Call ConsiderFolder
  ReadRegStr $0 HKCU "${SIMULATOR_USER_KEY}" "AppPath"
  Call ConsiderFolder
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "SimulatorFolder"
  Call ConsiderFolder
  ${If} $SimulatorFolder == ""
    StrCpy $SimulatorPageText "No Prepar3D v4 folder was found on this computer. Choose the folder that holds prepar3d.exe."
  ${EndIf}
FunctionEnd

Function .onInit
  SetShellVarContext current
  Call FindSimulatorFolder
  ${If} $SimulatorFolder != ""
    StrCpy $SimulatorPageText "Prepar3D v4 was found in the folder below. The shortcuts start the launcher there, so that it finds prepar3d.exe. Choose another folder if you fly another copy of the simulator."
  ${ElseIf} ${Silent}
    SetErrorLevel ${ERROR_NO_SIMULATOR}
    Quit
  ${Else}
    StrCpy $SimulatorFolder $RefusedFolder
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NODESKTOP" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecDesktop}
  ${EndIf}
FunctionEnd

Function SimulatorPageLeave
  StrCpy $0 $SimulatorFolder
  Call TidyFolder
  Call HoldsSimulator
  ${If} $0 == ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "Choose the Prepar3D v4 folder: the one that holds prepar3d.exe."
    Abort
  ${ElseIf} $1 != 1
    MessageBox MB_OK|MB_ICONEXCLAMATION "The folder $\"$0$\" does not hold prepar3d.exe. Choose the Prepar3D v4 folder: the one that holds prepar3d.exe."
    Abort
  ${EndIf}
  StrCpy $SimulatorFolder $0
FunctionEnd

; ---- Uninstall

Section "-un.Launcher, user guide and Start menu"
  SetShellVarContext current
  Delete "$INSTDIR\${LAUNCHER_FILE}"
  Delete "$INSTDIR\${GUIDE_FILE}"
  Delete "$INSTDIR\${UNINSTALLER_FILE}"
  Delete "${MENU_FOLDER}\${LAUNCH_SHORTCUT}"
  Delete "${MENU_FOLDER}\${RESET_SHORTCUT}"
  Delete "${MENU_FOLDER}\${GUIDE_SHORTCUT}"
  RMDir "${MENU_FOLDER}"
  Delete "$DESKTOP\${LAUNCH_SHORTCUT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  RMDir "$INSTDIR"
SectionEnd

; The same four files as the launcher's -ResetConfig; the folder goes too when nothing else is in it.
Section /o "un.Also remove my Aerolumen settings" SecRemoveSettings
  SetShellVarContext current
  Delete "${SETTINGS_FOLDER}\${SETTINGS_PREFIX}settings.ini"
  Delete "${SETTINGS_FOLDER}\${SETTINGS_PREFIX}settings.ini.bak"
  Delete "${SETTINGS_FOLDER}\${SETTINGS_PREFIX}window_positions.ini"
  Delete "${SETTINGS_FOLDER}\${SETTINGS_PREFIX}window_positions.ini.bak"
  RMDir "${SETTINGS_FOLDER}"
SectionEnd

Function un.onInit
  SetShellVarContext current
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVESETTINGS" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecRemoveSettings}
  ${EndIf}
FunctionEnd
