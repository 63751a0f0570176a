; Installer of Tarvo PDF Mergalo for the current user: no administrator rights, the
; program in the user's own programs folder, the context menu in the user's registry
; branch, an uninstaller registered under the user's Uninstall key.
; makensis -DDIST=<shipped folder> -DVERSION=<a.b.c.d> -DOUTFILE=<setup.exe> installer.nsi
; A 64-bit installer for the 64-bit program (it also runs where no 32-bit layer is).
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!define TITLE "Tarvo PDF Mergalo"
!define EXE "Mergalo.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${TITLE}"

Name "${TITLE}"
OutFile "${OUTFILE}"
; %LOCALAPPDATA%\Programs, where Windows keeps programs installed for one user.
InstallDir "$LOCALAPPDATA\Programs\${TITLE}"
ShowInstDetails nevershow
ShowUninstDetails nevershow
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${TITLE}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${TITLE}"
VIAddVersionKey "CompanyName" "Tarvo"
VIAddVersionKey "LegalCopyright" "Tarvo"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

LoadLanguageFile "${NSISDIR}\Contrib\Language files\Russian.nlf"

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File /r "${DIST}\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${TITLE}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Tarvo"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${EXE}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}

  ; The program writes its own context-menu entry, with its own path in the commands.
  ExecWait '"$INSTDIR\${EXE}" --install-menu' $0
  StrCmp $0 0 +2
    DetailPrint "--install-menu: exit code $0"
SectionEnd

Section "Uninstall"
  ExecWait '"$INSTDIR\${EXE}" --uninstall-menu'
  ExecWait '"$INSTDIR\${EXE}" --uninstall-data'
  SetOutPath "$TEMP"
  RMDir /r "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
