; The Windows installer: the programs for every user of the machine under Program Files, a
; Start-menu folder and an uninstaller that takes all of it away again. What each user's runs
; made (backups of the modems' identities, logs, settings) is theirs and stays; the uninstaller
; says where it is.
;
; makensis -DVERSION=<x.y.z.w> -DBINDIR=<folder with the .exe files> -DOUTDIR=<folder> [-DSIGN=<command>] [-DFAST]
; SIGN, when given, is run on the uninstaller before it is packed ("%1" is the file).

; A 64-bit installer for the 64-bit programs: it runs where they do (no 32-bit layer needed).
Target amd64-unicode
; FAST: the quick compression the tests build with.
!ifdef FAST
  SetCompressor zlib
!else
  SetCompressor /SOLID lzma
!endif
ManifestDPIAware true

!ifndef VERSION
  !error "VERSION is not defined"
!endif
!ifndef BINDIR
  !error "BINDIR is not defined"
!endif
!ifndef OUTDIR
  !define OUTDIR "."
!endif

!define PRODUCT "Quorvel_ZOVIR"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTDIR}\quorvel-zovir-setup-${VERSION}.exe"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "LegalCopyright" ""

!ifdef SIGN
  !uninstfinalize '${SIGN}'
!endif

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; The 64-bit programs, their registry entries in the 64-bit view, shortcuts for every user.
Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Programs"
  SetOutPath "$INSTDIR"
  File "${BINDIR}\zovir-cli.exe"
  !if /FileExists "${BINDIR}\quorvel-zovir.exe"
    File "${BINDIR}\quorvel-zovir.exe"
  !endif
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  !if /FileExists "${BINDIR}\quorvel-zovir.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\quorvel-zovir.exe"
  !endif
  ; The command-line program wants a console of its own, open in the user's folder.
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} command line.lnk" "$SYSDIR\cmd.exe" \
      '/k cd /d "%USERPROFILE%" && "$INSTDIR\zovir-cli.exe" --help' "$INSTDIR\zovir-cli.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zovir-cli.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\zovir-cli.exe"
  Delete "$INSTDIR\quorvel-zovir.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} command line.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The boot driver's handshake value the programs wrote; the key only when nothing else is in it.
  DeleteRegValue HKLM "SOFTWARE\rgdriverinfo" "DownloadSupport"
  DeleteRegKey /ifnosubkeys /ifnovalues HKLM "SOFTWARE\rgdriverinfo"

  ; Each user's own: the modems' backups, run logs and settings.
  DetailPrint "Kept for each user: backups, logs and settings in %LOCALAPPDATA%\${PRODUCT}"
  DetailPrint "(the backups in %LOCALAPPDATA%\${PRODUCT}\Backup restore a modem's identity)"
  MessageBox MB_OK|MB_ICONINFORMATION \
      "${PRODUCT} is removed.$\r$\n$\r$\nKept for each user: the modems' backups, the run logs and the settings in %LOCALAPPDATA%\${PRODUCT} (backups in its Backup folder). Delete that folder yourself when no modem needs them any more." \
      /SD IDOK
SectionEnd
