; The Windows installer: the deployed program into Program Files, Start-menu entries for it
; and for the service record's folder, and an uninstaller. makensis -DPRODUCT= -DVERSION= -DDEPLOY= -DICON= -DOUTFILE= installer.nsi
; With -DSIGN=SCRIPT the uninstaller is signed as it is written into the installer.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
!ifdef SIGN
!uninstfinalize '"${SIGN}" "%1"'
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
ShowInstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "CompanyName" "QX-LP4R Updater Team"
VIAddVersionKey "LegalCopyright" "QX-LP4R Updater Team"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File /r "${DEPLOY}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; The station's default profile lives in this folder, which only administrators (and the
    ; system) may write: a lock that an operator could edit would be none. Users read it. The
    ; installer makes the folder, never a profile.
    CreateDirectory "$APPDATA\QX-LP4R Firmware Updater"
    nsExec::ExecToLog 'icacls "$APPDATA\QX-LP4R Firmware Updater" /inheritance:r /grant:r \
        *S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX'
    Pop $0
    CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\qx-lp4r-updater.exe"
    CreateShortCut "$SMPROGRAMS\QX-LP4R Bench.lnk" "$INSTDIR\qx-lp4r-updater.exe" "--bench"
    ; Each user's own record, under %LOCALAPPDATA%: the program finds and opens its folder.
    CreateShortCut "$SMPROGRAMS\${PRODUCT} service record.lnk" "$INSTDIR\qx-lp4r-updater.exe" \
        "--open-record-folder"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "QX-LP4R Updater Team"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\qx-lp4r-updater.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\QX-LP4R Bench.lnk"
    Delete "$SMPROGRAMS\${PRODUCT} service record.lnk"
    RMDir /r "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
