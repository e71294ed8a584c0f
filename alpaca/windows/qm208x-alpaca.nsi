; The Windows installer of qm-alpaca: qm208x-alpaca-<version>-setup.exe.
; Built by the mingw build's `installer` target (cmake/WindowsInstaller.cmake):
;   makensis -DVERSION=1.0.0.1 -DSTAGE=<folder> -DSIMULATED=<folder> -DOUTFILE=<exe> -DPUBLISHER=...
; STAGE holds what the zip holds (qm-alpaca.exe, D_QM208X.dll, the text for
; Windows users, licenses\); SIMULATED holds the simulated CCDVideoAPI.dll,
; installed only when the user picks it instead of the maker's library.
;
; Silent use (administrators, tests):
;   setup.exe /S [/D=C:\Folder]             the maker's library is added later
;   setup.exe /S /CCDVIDEOAPI=C:\...\CCDVideoAPI.dll
;   setup.exe /S /SIMULATED                 the simulated camera instead
;   setup.exe /S /NOLOGON /NOFIREWALL       leave out the start at logon, the firewall rule
;   "C:\Program Files\QM208X Alpaca\uninstall.exe" /S

Unicode true
SetCompressor /SOLID lzma
!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "QM-208X Alpaca server"
!define MENU_FOLDER "QM-208X Alpaca"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QM208X-Alpaca"
!define SETTINGS_KEY "Software\QM208X Alpaca"
!define FIREWALL_RULE "QM-208X Alpaca server"
!define SETUP_URL "http://localhost:11111/setup"
!define README "README-qm-alpaca.txt"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\QM208X Alpaca"
InstallDirRegKey HKLM "${SETTINGS_KEY}" "InstallDir"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "Setup of the ${PRODUCT} ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "This installs qm-alpaca, which serves the Vantrel QM-208X VESK camera to ASCOM Alpaca clients on this PC (N.I.N.A., SharpCap, APT through the ASCOM Chooser) and on your network.$\r$\n$\r$\nYou need the camera maker's CCDVideoAPI.dll from the camera's own software; setup asks for it, or you can add it later.$\r$\n$\r$\nClick Next to continue."
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\licenses\D_QM208X.txt"
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_HEADER_TEXT "Options"
!define MUI_PAGE_HEADER_SUBTEXT "What setup adds besides the server."
!define MUI_COMPONENTSPAGE_TEXT_TOP "The server and driver are always installed. Point at an option to read what it does."
!define MUI_COMPONENTSPAGE_TEXT_COMPLIST "Options:"
!insertmacro MUI_PAGE_COMPONENTS
Page custom CameraLibraryPage CameraLibraryPageLeave
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\qm-alpaca.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start the server now (its window opens minimized)"
!define MUI_FINISHPAGE_RUN_FUNCTION StartServerMinimized
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\${README}"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the text for Windows users"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!define MUI_UNCONFIRMPAGE_TEXT_TOP "This removes the ${PRODUCT} from $INSTDIR, its Start-menu entries, its start at logon and its firewall rule. Your settings in %APPDATA%\qm208x are kept."
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The camera library: 0 the maker's (copied from CameraLibraryPath), 1 added later, 2 simulated.
Var CameraChoice
Var CameraLibraryPath
Var RadioMaker
Var RadioLater
Var RadioSimulated
Var PathField
Var BrowseButton

Section "Server and driver" SecServer
  SectionIn RO
  SetOutPath "$INSTDIR"
  Call StopIfServerRuns
  File "${STAGE}\qm-alpaca.exe"
  File "${STAGE}\D_QM208X.dll"
  File "${STAGE}\${README}"
  SetOutPath "$INSTDIR\licenses"
  File "${STAGE}\licenses\*.txt"
  SetOutPath "$INSTDIR"
  ; The start at logon and the firewall rule follow this run's choices: their
  ; sections below add them again when chosen.
  Delete "$SMSTARTUP\QM-208X Alpaca server.lnk"
  Call RemoveFirewallRule

  ${If} $CameraChoice == 0
    Delete "$INSTDIR\README-simulated-camera.txt"
    ClearErrors
    CopyFiles /SILENT "$CameraLibraryPath" "$INSTDIR\CCDVideoAPI.dll"
    ${If} ${Errors}
      DetailPrint "Could not copy $CameraLibraryPath: add CCDVideoAPI.dll to $INSTDIR by hand."
      WriteRegStr HKLM "${SETTINGS_KEY}" "CameraLibrary" "later"
    ${Else}
      DetailPrint "The maker's CCDVideoAPI.dll copied from $CameraLibraryPath"
      WriteRegStr HKLM "${SETTINGS_KEY}" "CameraLibrary" "maker"
    ${EndIf}
  ${ElseIf} $CameraChoice == 2
    File "${SIMULATED}\CCDVideoAPI.dll"
    File "${SIMULATED}\README-simulated-camera.txt"
    DetailPrint "SIMULATED camera installed as CCDVideoAPI.dll: it drives no camera."
    WriteRegStr HKLM "${SETTINGS_KEY}" "CameraLibrary" "simulated"
  ${Else}
    ; Never the simulated library beside a real one: a simulated one left by
    ; an earlier installation goes, a library the user put here stays.
    ReadRegStr $0 HKLM "${SETTINGS_KEY}" "CameraLibrary"
    ${If} $0 == "simulated"
      Delete "$INSTDIR\CCDVideoAPI.dll"
      Delete "$INSTDIR\README-simulated-camera.txt"
    ${EndIf}
    DetailPrint "Add the maker's CCDVideoAPI.dll to $INSTDIR later."
    WriteRegStr HKLM "${SETTINGS_KEY}" "CameraLibrary" "later"
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\qm-alpaca.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Start-menu entries" SecMenu
  CreateDirectory "$SMPROGRAMS\${MENU_FOLDER}"
  CreateShortcut "$SMPROGRAMS\${MENU_FOLDER}\QM-208X Alpaca server.lnk" "$INSTDIR\qm-alpaca.exe" \
    "" "" "" SW_SHOWMINIMIZED "" "The camera for ASCOM Alpaca clients"
  WriteINIStr "$SMPROGRAMS\${MENU_FOLDER}\QM-208X Alpaca setup page.url" "InternetShortcut" "URL" "${SETUP_URL}"
  CreateShortcut "$SMPROGRAMS\${MENU_FOLDER}\Read me.lnk" "$INSTDIR\${README}"
  CreateShortcut "$SMPROGRAMS\${MENU_FOLDER}\Uninstall.lnk" "$INSTDIR\uninstall.exe"
SectionEnd

Section "Start at logon" SecLogon
  CreateShortcut "$SMSTARTUP\QM-208X Alpaca server.lnk" "$INSTDIR\qm-alpaca.exe" \
    "" "" "" SW_SHOWMINIMIZED "" "The camera for ASCOM Alpaca clients"
SectionEnd

Section "Firewall: private networks" SecFirewall
  ; Inbound for this program only (TCP 11111, discovery on UDP 32227), on
  ; private networks only; public and domain networks stay closed.
  nsExec::ExecToLog 'netsh advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\qm-alpaca.exe" enable=yes profile=private'
  Pop $0
  ${If} $0 != 0
    DetailPrint "The firewall rule could not be added (netsh: $0): Windows asks at the first start."
  ${Else}
    WriteRegDWORD HKLM "${SETTINGS_KEY}" "FirewallRule" 1
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecServer} "qm-alpaca.exe, D_QM208X.dll, the text for Windows users and the licences."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecMenu} "The server, its setup page (${SETUP_URL}), the text for Windows users and Uninstall in the Start menu."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecLogon} "Start the server, its window minimized, whenever a user logs on to this PC."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecFirewall} "A Windows Firewall rule that lets clients on private networks (not public ones) reach the server; without it Windows asks at the first start."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  SetShellVarContext all
  StrCpy $CameraChoice 1
  StrCpy $CameraLibraryPath ""
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/CCDVIDEOAPI=" $R1
  ${IfNot} ${Errors}
    StrCpy $CameraChoice 0
    StrCpy $CameraLibraryPath $R1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/SIMULATED" $R1
  ${IfNot} ${Errors}
    ${If} $CameraChoice == 0
      MessageBox MB_ICONSTOP "Give either /CCDVIDEOAPI= or /SIMULATED, not both." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    StrCpy $CameraChoice 2
  ${EndIf}
  ${If} $CameraChoice == 0
  ${AndIfNot} ${FileExists} $CameraLibraryPath
    MessageBox MB_ICONSTOP "No such file: $CameraLibraryPath" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOLOGON" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecLogon}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOFIREWALL" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecFirewall}
  ${EndIf}
FunctionEnd

Function CameraLibraryPage
  !insertmacro MUI_HEADER_TEXT "The camera maker's library" "qm-alpaca drives the camera through the maker's CCDVideoAPI.dll."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "CCDVideoAPI.dll comes with the camera maker's software. Setup copies it into $INSTDIR, beside the server."
  Pop $0
  ${NSD_CreateRadioButton} 0 28u 100% 12u "&Copy the maker's CCDVideoAPI.dll from:"
  Pop $RadioMaker
  ${NSD_CreateFileRequest} 12u 42u 220u 12u "$CameraLibraryPath"
  Pop $PathField
  ${NSD_CreateBrowseButton} 236u 41u 60u 14u "&Browse..."
  Pop $BrowseButton
  ${NSD_OnClick} $BrowseButton BrowseCameraLibrary
  ${NSD_CreateRadioButton} 0 62u 100% 12u "&Later: I will copy CCDVideoAPI.dll into $INSTDIR myself"
  Pop $RadioLater
  ${NSD_CreateRadioButton} 0 82u 100% 12u "&SIMULATED camera: try the server without a camera (drives no camera)"
  Pop $RadioSimulated
  ${NSD_CreateLabel} 12u 96u 100% 30u "A synthetic star field instead of the camera, for trying clients. It is not the maker's software; install again and pick the maker's library when you have the camera."
  Pop $0
  ${If} $CameraChoice == 0
    ${NSD_Check} $RadioMaker
  ${ElseIf} $CameraChoice == 2
    ${NSD_Check} $RadioSimulated
  ${Else}
    ${NSD_Check} $RadioLater
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function BrowseCameraLibrary
  ${NSD_GetText} $PathField $0
  nsDialogs::SelectFileDialog open "$0" "CCDVideoAPI.dll|CCDVideoAPI.dll|DLL files (*.dll)|*.dll"
  Pop $0
  ${If} $0 != ""
    ${NSD_SetText} $PathField $0
    ${NSD_Check} $RadioMaker
    ${NSD_Uncheck} $RadioLater
    ${NSD_Uncheck} $RadioSimulated
  ${EndIf}
FunctionEnd

Function CameraLibraryPageLeave
  ${NSD_GetState} $RadioMaker $0
  ${NSD_GetState} $RadioSimulated $1
  ${If} $0 == ${BST_CHECKED}
    ${NSD_GetText} $PathField $CameraLibraryPath
    ${IfNot} ${FileExists} $CameraLibraryPath
      MessageBox MB_ICONEXCLAMATION "Choose the maker's CCDVideoAPI.dll, or pick Later."
      Abort
    ${EndIf}
    StrCpy $CameraChoice 0
  ${ElseIf} $1 == ${BST_CHECKED}
    StrCpy $CameraChoice 2
  ${Else}
    StrCpy $CameraChoice 1
  ${EndIf}
FunctionEnd

Function StartServerMinimized
  Exec '"$SYSDIR\cmd.exe" /c start "" /min "$INSTDIR\qm-alpaca.exe"'
FunctionEnd

; A running server keeps its program file open: ask to close it first.
!macro STOP_IF_SERVER_RUNS un
Function ${un}StopIfServerRuns
  ${Do}
    ${IfNot} ${FileExists} "$INSTDIR\qm-alpaca.exe"
      Return
    ${EndIf}
    ClearErrors
    FileOpen $0 "$INSTDIR\qm-alpaca.exe" a
    ${IfNot} ${Errors}
      FileClose $0
      Return
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "The QM-208X Alpaca server is running. Close its window, then click Retry." /SD IDCANCEL IDRETRY +2
    Abort "The QM-208X Alpaca server is running: close it first."
  ${Loop}
FunctionEnd
!macroend
!insertmacro STOP_IF_SERVER_RUNS ""
!insertmacro STOP_IF_SERVER_RUNS "un."

!macro REMOVE_FIREWALL_RULE un
Function ${un}RemoveFirewallRule
  ReadRegDWORD $0 HKLM "${SETTINGS_KEY}" "FirewallRule"
  ${If} $0 == 1
    nsExec::ExecToLog 'netsh advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    Pop $0
    DeleteRegValue HKLM "${SETTINGS_KEY}" "FirewallRule"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro REMOVE_FIREWALL_RULE ""
!insertmacro REMOVE_FIREWALL_RULE "un."

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  Call un.StopIfServerRuns
  Call un.RemoveFirewallRule
  Delete "$SMSTARTUP\QM-208X Alpaca server.lnk"
  Delete "$SMPROGRAMS\${MENU_FOLDER}\QM-208X Alpaca server.lnk"
  Delete "$SMPROGRAMS\${MENU_FOLDER}\QM-208X Alpaca setup page.url"
  Delete "$SMPROGRAMS\${MENU_FOLDER}\Read me.lnk"
  Delete "$SMPROGRAMS\${MENU_FOLDER}\Uninstall.lnk"
  RMDir "$SMPROGRAMS\${MENU_FOLDER}"

  Delete "$INSTDIR\qm-alpaca.exe"
  Delete "$INSTDIR\D_QM208X.dll"
  ; The copy of the maker's library (the original stays where its software put
  ; it), or the simulated one.
  Delete "$INSTDIR\CCDVideoAPI.dll"
  Delete "$INSTDIR\README-simulated-camera.txt"
  Delete "$INSTDIR\${README}"
  Delete "$INSTDIR\licenses\*.txt"
  RMDir "$INSTDIR\licenses"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${SETTINGS_KEY}"
  DetailPrint "Your settings in %APPDATA%\qm208x are kept; delete that folder to remove them too."
SectionEnd
