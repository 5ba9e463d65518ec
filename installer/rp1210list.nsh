; The RP1210 vendor list and its backups, for the setup program and its
; uninstaller.
;
; The list is the value APIImplementations of [RP1210Support] in
; RP121032.INI in the Windows directory: vendor keys separated by commas,
; each naming KEY.INI and KEY.DLL there. Keys compare without regard to case
; and to the spaces or tabs around them; entries that are not the key in
; question keep their exact text and their order.
;
; Before RP121032.INI is changed it is copied to RP121032.INI.bak-N, N being
; one more than the highest number of an existing backup file (directories
; of that name are no backups), or 1. The copy never replaces a file: when it
; fails the caller leaves RP121032.INI as it is.
;
; The functions take and give their values in these variables:
;   ListText   in: the list;  out (ListAdd, ListRemove): the new list
;   ListKey    in: the vendor key
;   ListFound  out: 1 when the key was in the list, else 0
;   BackupName out (MakeBackup): the backup's full path

!include LogicLib.nsh

!define RP1210_INI "$WINDIR\RP121032.INI"
; Longer values do not fit NSIS's strings (1024 characters, the ending
; zero included): such a list could come back cut short, so it is not edited.
!define RP1210_LIST_LIMIT 1023

Var ListText
Var ListKey
Var ListFound
Var BackupName

; $R0 in and out: the text without spaces and tabs at either end.
!macro RP1210_TRIM_FUNCTION UN
Function ${UN}TrimText
  Push $R1
  ${Do}
    StrCpy $R1 $R0 1
    ${If} $R1 == " "
    ${OrIf} $R1 == "$\t"
      StrCpy $R0 $R0 "" 1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  ${Do}
    StrCpy $R1 $R0 1 -1
    ${If} $R1 == " "
    ${OrIf} $R1 == "$\t"
      StrCpy $R0 $R0 -1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  Pop $R1
FunctionEnd
!macroend

; Removes every entry equal to $ListKey from $ListText.
!macro RP1210_REMOVE_FUNCTION UN
Function ${UN}ListRemove
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  StrCpy $R2 $ListText ; the entries not yet looked at
  StrCpy $R3 ""        ; the list without the key
  StrCpy $R4 0         ; entries in $R3
  StrCpy $ListFound 0
  ${Do}
    ; $R1: where the next comma is, or the length of $R2 when none follows.
    StrLen $R5 $R2
    StrCpy $R1 0
    ${DoWhile} $R1 < $R5
      StrCpy $R0 $R2 1 $R1
      ${If} $R0 == ","
        ${ExitDo}
      ${EndIf}
      IntOp $R1 $R1 + 1
    ${Loop}
    StrCpy $R6 $R2 $R1
    StrCpy $R0 $R6
    Call ${UN}TrimText
    ${If} $R0 == $ListKey
      StrCpy $ListFound 1
    ${Else}
      ${If} $R4 > 0
        StrCpy $R3 "$R3,"
      ${EndIf}
      StrCpy $R3 "$R3$R6"
      IntOp $R4 $R4 + 1
    ${EndIf}
    ${If} $R1 >= $R5
      ${ExitDo}
    ${EndIf}
    IntOp $R1 $R1 + 1
    StrCpy $R2 $R2 "" $R1
  ${Loop}
  StrCpy $R0 $R3
  Call ${UN}TrimText
  StrCpy $ListText $R0
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd
!macroend

; Copies RP121032.INI to the next free backup name ($BackupName). The error
; flag is set when no copy was made.
!macro RP1210_BACKUP_FUNCTION UN
Function ${UN}MakeBackup
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  StrCpy $R1 0 ; the highest number found
  ClearErrors
  FindFirst $R0 $R2 "${RP1210_INI}.bak-*"
  ${DoWhile} $R2 != ""
    ${IfNot} ${FileExists} "$WINDIR\$R2\*.*"
      ; The decimal digits right after "RP121032.INI.bak-" (17 characters).
      StrCpy $R2 $R2 "" 17
      StrCpy $R3 0
      ${Do}
        StrCpy $R4 $R2 1
        ; A character is a digit when it is "0" or reads as a non-zero number.
        IntOp $R5 $R4 + 0
        ${IfNot} $R4 == "0"
        ${AndIf} $R5 = 0
          ${ExitDo}
        ${EndIf}
        IntOp $R3 $R3 * 10
        IntOp $R3 $R3 + $R5
        StrCpy $R2 $R2 "" 1
      ${Loop}
      ${If} $R3 > $R1
        StrCpy $R1 $R3
      ${EndIf}
    ${EndIf}
    FindNext $R0 $R2
  ${Loop}
  FindClose $R0
  IntOp $R1 $R1 + 1
  StrCpy $BackupName "${RP1210_INI}.bak-$R1"
  ; CopyFile with "fail if the target exists".
  System::Call 'kernel32::CopyFileA(t "${RP1210_INI}", t "$BackupName", i 1) i .R0'
  ClearErrors
  ${If} $R0 == 0
  ${OrIfNot} ${FileExists} "$BackupName"
    SetErrors
  ${EndIf}
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd
!macroend

; Adds $ListKey at the end of $ListText unless the list has it already
; ($ListFound 1: the list is left exactly as it was).
!macro RP1210_ADD_FUNCTION
Function ListAdd
  Push $R0
  Push $R1
  StrCpy $R1 $ListText
  Call ListRemove
  StrCpy $R0 $R1
  ${If} $ListFound == 0
    Call TrimText
    ${If} $R0 == ""
      StrCpy $R0 $ListKey
    ${Else}
      StrCpy $R1 $R0 1 -1
      ${If} $R1 == ","
        StrCpy $R0 "$R0$ListKey"
      ${Else}
        StrCpy $R0 "$R0,$ListKey"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $ListText $R0
  Pop $R1
  Pop $R0
FunctionEnd
!macroend
