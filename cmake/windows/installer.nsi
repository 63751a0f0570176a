; Installer of Tarvo PDF Mergalo for the current user: no administrator rights, the
; program in the user's own programs folder, the context menu in the user's registry
; branch, a Start-menu entry, an uninstaller registered under the user's Uninstall key.
; makensis -DDIST=<shipped folder> -DVERSION=<a.b.c.d> -DOUTFILE=<setup.exe> -DSIZE_KB=<n>
;          -DICON=<mergalo.ico> -DUNINSTALL_FILES=<list.nsh> -DINSTALL_FILES=<list.nsh> installer.nsi
; UNINSTALL_FILES holds one Delete line per installed file and one RMDir line per
; installed folder, deepest first; INSTALL_FILES one CheckReplaced line per installed
; file (scripts/windows-installer writes both from DIST): the uninstaller removes what
; the installer put there and never a file of the user's, and the installer says which
; files of a folder it would replace before it replaces any.
; A 64-bit installer for the 64-bit program (it also runs where no 32-bit layer is).
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma
!include LogicLib.nsh
!include MUI2.nsh

!define TITLE "Tarvo PDF Mergalo"
!define EXE "Mergalo.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${TITLE}"
!define SHORTCUT "$SMPROGRAMS\${TITLE}.lnk"
; Exit codes of a silent run that changed nothing.
!define EXIT_RUNNING 2
!define EXIT_FILES_IN_THE_WAY 3

Name "${TITLE}"
OutFile "${OUTFILE}"
; %LOCALAPPDATA%\Programs, where Windows keeps programs installed for one user.
InstallDir "$LOCALAPPDATA\Programs\${TITLE}"
ShowInstDetails nevershow
ShowUninstDetails nevershow
VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductName" "${TITLE}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "FileDescription" "${TITLE}"
VIAddVersionKey /LANG=1049 "CompanyName" "Tarvo"
VIAddVersionKey /LANG=1049 "LegalCopyright" "Tarvo"

; The installer's own texts are Russian (NSIS has no Kazakh); what this script says
; itself is in the user's language: Kazakh for a Kazakh Windows, Russian otherwise.
Var Kazakh
Var MsgRunning
Var MsgReplace
Var MsgFinish
Var Replaced      ; the installed files already in the folder, the first few by name
Var ReplacedCount
Var ReplaceAsked  ; the user agreed on the directory page

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "$MsgFinish"
!define MUI_FINISHPAGE_NOREBOOTSUPPORT
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

; Sets $Kazakh to 1 when the user's interface language is Kazakh (primary id 0x3F).
!macro PickLanguage
  System::Call 'kernel32::GetUserDefaultUILanguage() i .r0'
  IntOp $0 $0 & 0x3FF
  ${If} $0 = 0x3F
    StrCpy $Kazakh 1
  ${Else}
    StrCpy $Kazakh 0
  ${EndIf}
!macroend

!macro RunningText WHAT_RU WHAT_KK
  ${If} $Kazakh = 1
    StrCpy $MsgRunning "${TITLE} қазір осы қалтадан іске қосылып тұр:$\r$\n$INSTDIR$\r$\n$\r$\nБағдарламаны (оның барлық терезелерін) жауып, қайталап көріңіз. Бас тартсаңыз, ${WHAT_KK} ештеңе өзгертпей тоқтатылады."
  ${Else}
    StrCpy $MsgRunning "${TITLE} сейчас запущена из этой папки:$\r$\n$INSTDIR$\r$\n$\r$\nЗакройте программу (все её окна) и повторите. Отмена прервёт ${WHAT_RU}, ничего не изменив."
  ${EndIf}
!macroend

Function .onInit
  SetShellVarContext current
  !insertmacro PickLanguage
  StrCpy $ReplaceAsked 0
  ${If} $Kazakh = 1
    StrCpy $MsgReplace "Таңдалған қалтада орнату ауыстыратын файлдар бар:"
    StrCpy $MsgFinish "${TITLE} орнатылды.$\r$\n$\r$\nZIP-мұрағатты тінтуірдің оң жақ түймесімен басыңыз: мәзірде «${TITLE}» тармағы пайда болды. Windows 11 жүйесінде ол «Қосымша параметрлерді көрсету» («Показать дополнительные параметры») ішінде.$\r$\n$\r$\nБағдарламаны «Бастау» мәзірінен де ашуға болады."
  ${Else}
    StrCpy $MsgReplace "В выбранной папке уже есть файлы, которые установка заменит:"
    StrCpy $MsgFinish "${TITLE} установлена.$\r$\n$\r$\nНажмите на ZIP-архив правой кнопкой мыши: в меню появился пункт «${TITLE}». В Windows 11 он находится в разделе «Показать дополнительные параметры».$\r$\n$\r$\nПрограмму можно открыть и из меню «Пуск»."
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
  !insertmacro PickLanguage
FunctionEnd

; True (the error flag clear) when no running program holds the installed executable:
; Windows refuses to open a running program's file for writing.
!macro IsRunning RESULT
  StrCpy ${RESULT} 0
  ${If} ${FileExists} "$INSTDIR\${EXE}"
    ClearErrors
    FileOpen $0 "$INSTDIR\${EXE}" a
    ${If} ${Errors}
      StrCpy ${RESULT} 1
    ${Else}
      FileClose $0
    ${EndIf}
  ${EndIf}
!macroend

; Before any file is touched: a program running from the folder is closed by the user
; (Retry), or the run ends with nothing changed (Cancel; a silent run with its exit code).
!macro WaitUntilClosed UN
  Function ${UN}WaitUntilClosed
    ${Do}
      !insertmacro IsRunning $1
      ${If} $1 = 0
        Return
      ${EndIf}
      ${If} ${Silent}
        SetErrorLevel ${EXIT_RUNNING}
        Quit
      ${EndIf}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$MsgRunning" IDRETRY retry
      Quit
      retry:
    ${Loop}
  FunctionEnd
!macroend
!insertmacro WaitUntilClosed ""
!insertmacro WaitUntilClosed "un."

; Counts an installed file that is already in the folder; the first eight are named.
!macro CheckReplaced FILE
  ${If} ${FileExists} "$INSTDIR\${FILE}"
    IntOp $ReplacedCount $ReplacedCount + 1
    ${If} $ReplacedCount <= 8
      StrCpy $Replaced "$Replaced$\r$\n    ${FILE}"
    ${EndIf}
  ${EndIf}
!macroend

; An earlier installation of the program in this folder is renewed without a word;
; any other folder that holds files the installation would replace is named first.
Function FindReplaced
  StrCpy $Replaced ""
  StrCpy $ReplacedCount 0
  ${If} ${FileExists} "$INSTDIR\uninstall.exe"
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == $INSTDIR
      Return
    ${EndIf}
  ${EndIf}
  !include "${INSTALL_FILES}"
FunctionEnd

; The question about replaced files; "No" keeps the page for another folder.
Function AskToReplace
  StrCpy $0 "$MsgReplace$\r$\n$Replaced"
  ${If} $ReplacedCount > 8
    IntOp $1 $ReplacedCount - 8
    ${If} $Kazakh = 1
      StrCpy $0 "$0$\r$\n    ... тағы $1"
    ${Else}
      StrCpy $0 "$0$\r$\n    ... и ещё $1"
    ${EndIf}
  ${EndIf}
  ${If} $Kazakh = 1
    StrCpy $0 "$0$\r$\n$\r$\nОларды ауыстыру керек пе? «Жоқ» — басқа қалтаны таңдау."
  ${Else}
    StrCpy $0 "$0$\r$\n$\r$\nЗаменить их? «Нет» — выбрать другую папку."
  ${EndIf}
  MessageBox MB_YESNO|MB_ICONQUESTION "$0" IDYES replace
  Abort
  replace:
  StrCpy $ReplaceAsked 1
FunctionEnd

Function DirectoryLeave
  StrCpy $ReplaceAsked 0
  !insertmacro RunningText "установку" "орнату"
  Call WaitUntilClosed
  Call FindReplaced
  ${If} $ReplacedCount > 0
    Call AskToReplace
  ${EndIf}
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
  ; Asked again here: a silent run has no directory page, and the program may have been
  ; started since the page was left.
  !insertmacro RunningText "установку" "орнату"
  Call WaitUntilClosed
  ${If} $ReplaceAsked = 0
    Call FindReplaced
    ${If} $ReplacedCount > 0
      ${If} ${Silent}
        SetErrorLevel ${EXIT_FILES_IN_THE_WAY}
        Quit
      ${EndIf}
      Call AskToReplace
    ${EndIf}
  ${EndIf}

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

; A running uninstaller's file cannot be deleted. Started from the folder, the uninstaller
; runs as a copy of itself in a folder of its own under %TEMP% (or in place, given _?=),
; which Windows would remove only at a restart, and for administrators only. A hidden
; command (no console window) removes what is left once this process has ended: the
; copy and its folder, uninstall.exe and the program's folder if they are still there,
; each folder only when empty (rmdir without /s). Run when the window closes, or at the
; end of a silent run.
Function un.RemoveWhenEnded
  ${If} $EXEDIR == $INSTDIR
    StrCpy $4 ""
  ${Else}
    StrCpy $4 ' & del /f /q "$EXEPATH" & rmdir "$EXEDIR"'
  ${EndIf}
  ExecShell "open" "$SYSDIR\cmd.exe" '/d /s /c " ping -n 3 127.0.0.1 >nul & del /f /q "$INSTDIR\uninstall.exe" & rmdir "$INSTDIR"$4 "' SW_HIDE
FunctionEnd

Function un.onGUIEnd
  Call un.RemoveWhenEnded
FunctionEnd

Section "Uninstall"
  !insertmacro RunningText "удаление" "жою"
  Call un.WaitUntilClosed
  ExecWait '"$INSTDIR\${EXE}" --uninstall-menu'
  ExecWait '"$INSTDIR\${EXE}" --uninstall-data'
  !insertmacro DeleteKeyIfEmpty "Software\Classes\CompressedFolder\shell"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\CompressedFolder"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\SystemFileAssociations\.zip\shell"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\SystemFileAssociations\.zip"
  !insertmacro DeleteKeyIfEmpty "Software\Classes\SystemFileAssociations"
  Delete "${SHORTCUT}"

  ; What the program writes beside itself: the history with its lock, its kept damaged
  ; copies, the notes of outputs still to be shown and the temporary files of an
  ; interrupted save; in logs\ only the error log and its temporary files
  ; (--uninstall-data has removed them unless it failed), then logs\ once empty.
  Delete "$INSTDIR\waybill_history.csv"
  Delete "$INSTDIR\waybill_history.csv.bad"
  Delete "$INSTDIR\waybill_history.csv.*.bad"
  Delete "$INSTDIR\waybill_history.lock"
  Delete "$INSTDIR\waybill_history.pending"
  Delete "$INSTDIR\waybill_history.*.pending"
  Delete "$INSTDIR\waybill_history.tmp"
  Delete "$INSTDIR\.waybill_history.*.tmp"
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
  ${If} ${Silent}
    Call un.RemoveWhenEnded
  ${EndIf}
SectionEnd
