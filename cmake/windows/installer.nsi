; Installer of Tarvo PDF Mergalo for the current user: no administrator rights, the
; program in the user's own programs folder, the context menu in the user's registry
; branch, a Start-menu entry, an uninstaller registered under the user's Uninstall key.
; makensis -DDIST=<shipped folder> -DVERSION=<a.b.c.d> -DOUTFILE=<setup.exe> -DSIZE_KB=<n>
;          -DICON=<mergalo.ico> -DUNINSTALL_FILES=<list.nsh> installer.nsi
; UNINSTALL_FILES holds one Delete line per installed file and one RMDir line per
; installed folder, deepest first (scripts/windows-installer writes it from DIST): the
; uninstaller removes what the installer put there and never a file of the user's.
; A 64-bit installer for the 64-bit program (it also runs where no 32-bit layer is).
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma
!include LogicLib.nsh

!define TITLE "Tarvo PDF Mergalo"
!define EXE "Mergalo.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${TITLE}"
!define SHORTCUT "$SMPROGRAMS\${TITLE}.lnk"

Name "${TITLE}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
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

; Deletes a key of the user's branch when nothing is left in it: no sub-key, no value.
; The context menu's parents (...\CompressedFolder\shell and the like) are made by the
; install when missing, and may hold other programs' entries.
!macro DeleteKeyIfEmpty KEY
  EnumRegKey $1 HKCU "${KEY}" 0
  EnumRegValue $2 HKCU "${KEY}" 0
  ClearErrors
  ReadRegStr $3 HKCU "${KEY}" ""
  ${If} $1 == ""
  ${AndIf} $2 == ""
  ${AndIf} ${Errors}
    DeleteRegKey HKCU "${KEY}"
  ${EndIf}
!macroend

Section "Install"
  SetOutPath "$INSTDIR"
  File /r "${DIST}\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Started from the Start menu without arguments, the program asks for the archive and
  ; the layout.
  CreateShortcut "${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${TITLE}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Tarvo"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${EXE}",0'
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
  !insertmacro DeleteKeyIfEmpty "Software\Classes\CompressedFolder\shell"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\CompressedFolder"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\SystemFileAssociations\.zip\shell"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\SystemFileAssociations\.zip"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\SystemFileAssociations"
  Delete "${SHORTCUT}"

  ; What the program writes beside itself: the history with its lock, its damaged copy
  ; and the temporary files of an interrupted save; the error log (--uninstall-data has
  ; removed it unless it failed).
  Delete "$INSTDIR\waybill_history.csv"
  Delete "$INSTDIR\waybill_history.csv.bad"
  Delete "$INSTDIR\waybill_history.lock"
  Delete "$INSTDIR\waybill_history.tmp"
  Delete "$INSTDIR\.waybill_history.csv.*.tmp"
  Delete "$INSTDIR\logs\error.log"
  Delete "$INSTDIR\logs\.error.log.*.tmp"
  RMDir "$INSTDIR\logs"

  ; The installed files, then the installed folders once empty.
  !include "${UNINSTALL_FILES}"
  Delete "$INSTDIR\uninstall.exe"
  ; The folder only when nothing of the user's is left in it.
  SetOutPath "$TEMP"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"

  ; A running program's file cannot be deleted. Started from the folder, the uninstaller
  ; runs as a copy of itself in a folder of its own under %TEMP% (or in place, given
  ; _?=), and Windows removes that copy only at a restart, and for administrators only.
  ; A command started now removes what is left once this process has ended: the copy
  ; and its folder, uninstall.exe and the program's folder if they are still there, each
  ; folder only when empty (rmdir without /s).
  ${If} $EXEDIR == $INSTDIR
    StrCpy $4 ""
  ${Else}
    StrCpy $4 ' & del /f /q "$EXEPATH" & rmdir "$EXEDIR"'
  ${EndIf}
  Exec '"$SYSDIR\cmd.exe" /d /s /c " ping -n 3 127.0.0.1 >nul & del /f /q "$INSTDIR\uninstall.exe" & rmdir "$INSTDIR"$4 "'
SectionEnd
