; The RP1210 vendor list and its backups, for the setup program and its
; uninstaller.
;
; The list is the value APIImplementations of [RP1210Support] in
; RP121032.INI in the Windows directory: vendor keys separated by commas,
; each naming KEY.INI and KEY.DLL there. Keys compare without regard to case
; and to the spaces or tabs around them; entries that are not the key in
; question keep their exact text and their order.
;
; RP121032.INI belongs to every RP1210 vendor on the PC, so it is edited as
; text, byte for byte: only the characters of the list change. Comments,
; blank lines, spaces, other sections and keys and the line ends (CR LF or
; LF) stay as they are. Section and key names are found as Windows' profile
; functions find them: without regard to case and to the spaces or tabs
; around them; the list is the value of the first APIImplementations in the
; first [RP1210Support] section, without the spaces, tabs and quotation marks
; around it. A file without the list gets the lines that hold it, with its
; own line end; a new file is "[RP1210Support]", "APIImplementations=LIST",
; with CR LF.
;
; Before RP121032.INI is changed it is copied to RP121032.INI.bak-N, N being
; one more than the highest number of an existing backup file (directories
; of that name are no backups), or 1. The copy never replaces a file: when it
; fails the caller leaves RP121032.INI as it is. The changed file is written
; from that copy into RP121032.INI itself (its attributes and permissions
; stay).
;
; The functions take and give their values in these variables:
;   ListText   in: the list;  out (ListFind, ListAdd, ListRemove): the list
;   ListKey    in: the vendor key
;   ListFound  out: 1 when the key was in the list, else 0
;   ListLength out (ListAdd): the length of the new list
;   ListError  out (ListFind): "" or why the file cannot be edited
;   ListRoom   out (ListFind): the most characters the list may have
;   ListAt, ListEnd, ListLead, ListTrail  out (ListFind): where the list is
;              (byte offsets; equal when it is to be inserted) and the text
;              written before and after it there
;   BackupName out (MakeBackup): the backup's full path

!include LogicLib.nsh

!define RP1210_INI "$WINDIR\RP121032.INI"
; A value of this many characters or more does not fit NSIS's strings (1024
; characters, the ending zero included) with room to tell whether it was read
; whole: such a list is not edited, and no list this long is ever written.
!define RP1210_LIST_LIMIT 1023
!define RP1210_SECTION "RP1210Support"
!define RP1210_LIST_NAME "APIImplementations"

Var ListText
Var ListKey
Var ListFound
Var ListLength
Var ListError
Var ListRoom
Var ListAt
Var ListEnd
Var ListLead
Var ListTrail
Var BackupName

; $R0 in and out: the text without spaces, tabs and line ends at either end.
!macro RP1210_TRIM_FUNCTION UN
Function ${UN}TrimText
  Push $R1
  ${Do}
    StrCpy $R1 $R0 1
    ${If} $R1 == " "
    ${OrIf} $R1 == "$\t"
    ${OrIf} $R1 == "$\r"
    ${OrIf} $R1 == "$\n"
      StrCpy $R0 $R0 "" 1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  ${Do}
    StrCpy $R1 $R0 1 -1
    ${If} $R1 == " "
    ${OrIf} $R1 == "$\t"
    ${OrIf} $R1 == "$\r"
    ${OrIf} $R1 == "$\n"
      StrCpy $R0 $R0 -1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  Pop $R1
FunctionEnd

; $R0 in: a text, $R1 in: a character; $R1 out: where the character first
; is in the text, or -1.
Function ${UN}FindChar
  Push $R2
  Push $R3
  Push $R4
  StrLen $R3 $R0
  StrCpy $R2 0
  ${DoWhile} $R2 < $R3
    StrCpy $R4 $R0 1 $R2
    ${IfThen} $R4 == $R1 ${|} ${ExitDo} ${|}
    IntOp $R2 $R2 + 1
  ${Loop}
  ${IfThen} $R2 >= $R3 ${|} StrCpy $R2 -1 ${|}
  StrCpy $R1 $R2
  Pop $R4
  Pop $R3
  Pop $R2
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
; ($ListFound 1: the list is left exactly as it was). $ListLength is the
; length of the new list, counted before it is put together: a list too long
; for an NSIS string would come out cut short.
!macro RP1210_ADD_FUNCTION
Function ListAdd
  Push $R0
  Push $R1
  StrCpy $R1 $ListText
  Call ListRemove
  StrCpy $R0 $R1
  StrLen $ListLength $R0
  ${If} $ListFound == 0
    Call TrimText
    StrLen $R1 $R0
    StrLen $ListLength $ListKey
    IntOp $ListLength $ListLength + $R1
    ${If} $R0 == ""
      StrCpy $R0 $ListKey
    ${Else}
      StrCpy $R1 $R0 1 -1
      ${If} $R1 == ","
        StrCpy $R0 "$R0$ListKey"
      ${Else}
        IntOp $ListLength $ListLength + 1
        StrCpy $R0 "$R0,$ListKey"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $ListText $R0
  Pop $R1
  Pop $R0
FunctionEnd
!macroend

; Reads RP121032.INI for the list and where it is; a file that is not there
; gives an empty list, to be written into a new file. $ListError says why the
; file cannot be edited: it cannot be read, it holds zero bytes (no plain
; text), or its list is too long.
!macro RP1210_FIND_FUNCTION UN
Function ${UN}ListFind
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  Push $R8
  Push $R9
  StrCpy $ListError ""
  StrCpy $ListText ""
  StrCpy $ListAt -1
  StrCpy $R9 ""  ; the file's line end, when it has one
  StrCpy $R8 0   ; the section: 0 not yet seen, 1 in it, 2 past it (or the list found)
  StrCpy $R7 -1  ; where a list line goes: -1 no section, -2 the line after its header
  StrCpy $R6 0   ; the file's length
  StrCpy $R5 1   ; 1: what is read next starts a line
  ${If} ${FileExists} "${RP1210_INI}"
    ClearErrors
    FileOpen $R4 "${RP1210_INI}" r
    ${If} ${Errors}
      StrCpy $ListError "${RP1210_INI} cannot be read (another program may have it open): close the programs that use it and try again"
      Goto done
    ${EndIf}
    ${Do}
      ; A piece: a line, or up to 1023 bytes of a longer one.
      FileSeek $R4 0 CUR $R3
      ClearErrors
      FileRead $R4 $R2
      ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
      FileSeek $R4 0 CUR $R6
      IntOp $R3 $R6 - $R3
      StrLen $R1 $R2
      ${If} $R3 != $R1
        StrCpy $ListError "${RP1210_INI} holds zero bytes: it is no plain text file, so it was not edited"
        ${ExitDo}
      ${EndIf}
      IntOp $R3 $R6 - $R3  ; where the piece starts
      ${If} $R5 == 1
      ${AndIf} $R8 < 2
        ${IfThen} $R7 == -2 ${|} StrCpy $R7 $R3 ${|}
        StrCpy $R0 $R2
        Call ${UN}TrimText
        StrCpy $R1 $R0 1
        ${If} $R1 == "["
          ${If} $R8 == 1
            StrCpy $R8 2
          ${Else}
            StrCpy $R0 $R0 "" 1
            StrCpy $R1 "]"
            Call ${UN}FindChar
            ${IfThen} $R1 >= 0 ${|} StrCpy $R0 $R0 $R1 ${|}
            Call ${UN}TrimText
            ${If} $R0 == "${RP1210_SECTION}"
              StrCpy $R8 1
              StrCpy $R7 -2
            ${EndIf}
          ${EndIf}
        ${ElseIf} $R8 == 1
          StrCpy $R0 $R2
          StrCpy $R1 "="
          Call ${UN}FindChar
          ${If} $R1 >= 0
            StrCpy $R0 $R2 $R1
            Call ${UN}TrimText
            ${If} $R0 == "${RP1210_LIST_NAME}"
              IntOp $ListAt $R3 + $R1
              IntOp $ListAt $ListAt + 1
              Call ${UN}ListValue
              ${IfThen} $ListError != "" ${|} ${ExitDo} ${|}
              ; Read on after the "=", no line start, for the checks.
              FileSeek $R4 $ListAt SET
              StrCpy $R8 2
              StrCpy $R5 0
              ${Continue}
            ${EndIf}
          ${EndIf}
        ${EndIf}
      ${EndIf}
      StrCpy $R1 $R2 1 -1
      ${If} $R1 == "$\n"
      ${OrIf} $R1 == "$\r"
        StrCpy $R5 1
      ${Else}
        StrCpy $R5 0
      ${EndIf}
      ${If} $R9 == ""
      ${AndIf} $R1 == "$\n"
        StrCpy $R9 "$\n"
        StrCpy $R1 $R2 1 -2
        ${IfThen} $R1 == "$\r" ${|} StrCpy $R9 "$\r$\n" ${|}
      ${EndIf}
    ${Loop}
    FileSeek $R4 0 END $R6
    FileClose $R4
  ${EndIf}
  ${If} $ListError == ""
  ${AndIf} $ListAt == -1
    ; No list: its line goes after the section's header, or a new section
    ; goes at the end.
    ${IfThen} $R9 == "" ${|} StrCpy $R9 "$\r$\n" ${|}
    StrCpy $ListLead "${RP1210_LIST_NAME}="
    ${If} $R7 == -1
      StrCpy $ListLead "[${RP1210_SECTION}]$R9$ListLead"
    ${EndIf}
    ${If} $R7 < 0
      StrCpy $R7 $R6
    ${EndIf}
    ${If} $R7 == $R6
    ${AndIf} $R5 == 0
      StrCpy $ListLead "$R9$ListLead"
    ${EndIf}
    StrCpy $ListTrail $R9
    StrCpy $ListAt $R7
    StrCpy $ListEnd $R7
    IntOp $ListRoom ${RP1210_LIST_LIMIT} - 1
  ${EndIf}
done:
  Pop $R9
  Pop $R8
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; For ListFind: reads the value at $ListAt of the file $R4 into $ListText,
; $ListLead, $ListTrail, $ListEnd and $ListRoom.
Function ${UN}ListValue
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  FileSeek $R4 $ListAt SET
  ClearErrors
  FileRead $R4 $R2 ; the value and its line end; nothing at the end of the file
  StrLen $R3 $R2
  StrCpy $R1 $R2 1 -1
  ${If} $R1 == "$\n"
  ${OrIf} $R1 == "$\r"
    StrCpy $R2 $R2 -1
    StrCpy $R0 $R2 1 -1
    ${If} $R1 == "$\n"
    ${AndIf} $R0 == "$\r"
      StrCpy $R2 $R2 -1
    ${EndIf}
  ${ElseIf} $R3 >= ${RP1210_LIST_LIMIT}
    StrCpy $ListError "The vendor list in ${RP1210_INI} is too long (${RP1210_LIST_LIMIT} characters or more)"
    Goto done
  ${EndIf}
  StrLen $R3 $R2
  IntOp $ListEnd $ListAt + $R3
  ; Spaces and tabs before and after the list, and quotation marks around it.
  StrCpy $R1 0
  ${Do}
    StrCpy $R0 $R2 1 $R1
    ${If} $R0 == " "
    ${OrIf} $R0 == "$\t"
      IntOp $R1 $R1 + 1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  StrCpy $ListLead $R2 $R1
  StrCpy $R0 $R2 "" $R1
  Call ${UN}TrimText
  StrLen $R3 $R0
  IntOp $R1 $R1 + $R3
  StrCpy $ListTrail $R2 "" $R1
  StrCpy $R1 $R0 1
  StrCpy $R2 $R0 1 -1
  ${If} $R3 >= 2
  ${AndIf} $R1 == $R2
    ${If} $R1 == "$\""
    ${OrIf} $R1 == "'"
      StrCpy $ListLead "$ListLead$R1"
      StrCpy $ListTrail "$R1$ListTrail"
      StrCpy $R0 $R0 -1 1
    ${EndIf}
  ${EndIf}
  StrCpy $ListText $R0
  StrLen $R0 $ListLead
  StrLen $R1 $ListTrail
  IntOp $ListRoom ${RP1210_LIST_LIMIT} - 1
  IntOp $ListRoom $ListRoom - $R0
  IntOp $ListRoom $ListRoom - $R1
done:
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd
!macroend

; Writes $ListText into RP121032.INI where ListFind found its place, the
; rest of the file from $BackupName (the file as it was; "" when there was
; none), and ends the file there. The error flag is set when the file could
; not be written whole; the file is then put back as it was (or, made by
; this run, deleted): a vendor list cut short would be worse than none.
!macro RP1210_WRITE_FUNCTION UN
Function ${UN}ListWrite
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  StrCpy $R3 0 ; 1: failed
  ClearErrors
  FileOpen $R0 "${RP1210_INI}" a
  ${If} ${Errors}
    StrCpy $R3 1
    Goto done
  ${EndIf}
  FileSeek $R0 0 SET
  StrCpy $R1 ""
  ${If} $BackupName != ""
    ClearErrors
    FileOpen $R1 "$BackupName" r
    ${If} ${Errors}
      StrCpy $R3 1
      Goto close
    ${EndIf}
    StrCpy $R2 $ListAt
    Call ${UN}ListCopy
  ${EndIf}
  ClearErrors
  FileWrite $R0 $ListLead
  FileWrite $R0 $ListText
  FileWrite $R0 $ListTrail
  ${IfThen} ${Errors} ${|} StrCpy $R3 1 ${|}
  ${If} $R1 != ""
    FileSeek $R1 $ListEnd SET
    StrCpy $R2 -1
    Call ${UN}ListCopy
    FileClose $R1
  ${EndIf}
  System::Call 'kernel32::SetEndOfFile(p R0) i .R2'
  ${IfThen} $R2 == 0 ${|} StrCpy $R3 1 ${|}
close:
  FileClose $R0
  ${If} $R3 == 1
    ${If} $BackupName != ""
      System::Call 'kernel32::CopyFileA(t "$BackupName", t "${RP1210_INI}", i 0) i .R2'
    ${Else}
      Delete "${RP1210_INI}"
    ${EndIf}
  ${EndIf}
done:
  ClearErrors
  ${IfThen} $R3 == 1 ${|} SetErrors ${|}
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; For ListWrite: copies $R2 bytes (-1: the rest) from the file $R1 to the
; file $R0; $R3 out: 1 when it could not.
Function ${UN}ListCopy
  Push $0
  Push $1
  Push $2
  ${Do}
    StrCpy $0 1023
    ${If} $R2 >= 0
      ${IfThen} $R2 < $0 ${|} StrCpy $0 $R2 ${|}
      ${IfThen} $0 == 0 ${|} ${ExitDo} ${|}
    ${EndIf}
    FileSeek $R1 0 CUR $2
    ClearErrors
    FileRead $R1 $1 $0
    ${If} ${Errors}
      ${IfThen} $R2 > 0 ${|} StrCpy $R3 1 ${|}
      ${ExitDo}
    ${EndIf}
    FileSeek $R1 0 CUR $0
    IntOp $0 $0 - $2
    StrLen $2 $1
    ClearErrors
    FileWrite $R0 $1
    ${If} ${Errors}
    ${OrIf} $0 != $2
      StrCpy $R3 1
      ${ExitDo}
    ${EndIf}
    ${IfThen} $R2 >= 0 ${|} IntOp $R2 $R2 - $2 ${|}
  ${Loop}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; The error flag is set when RP121032.INI is read-only or cannot be opened
; for writing (another program has it open so). The file is not changed.
Function ${UN}ListWritable
  Push $R0
  System::Call 'kernel32::GetFileAttributesA(t "${RP1210_INI}") i .R0'
  IntOp $R0 $R0 & 1 ; FILE_ATTRIBUTE_READONLY
  ClearErrors
  ${If} $R0 <> 0
    SetErrors
  ${Else}
    FileOpen $R0 "${RP1210_INI}" a
    ${IfNot} ${Errors}
      FileClose $R0
    ${EndIf}
  ${EndIf}
  Pop $R0
FunctionEnd
!macroend

; $R0 out: 1 when RP121032.INI holds nothing but what a new file gets with
; the list $ListKey, else 0.
!macro RP1210_AS_CREATED_FUNCTION UN
Function ${UN}ListAsCreated
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  StrCpy $R0 0
  ClearErrors
  FileOpen $R4 "${RP1210_INI}" r
  ${IfNot} ${Errors}
    FileRead $R4 $R1
    FileRead $R4 $R2
    ClearErrors
    FileRead $R4 $R3
    ${If} ${Errors}
    ${AndIf} $R1 S== "[${RP1210_SECTION}]$\r$\n"
    ${AndIf} $R2 S== "${RP1210_LIST_NAME}=$ListKey$\r$\n"
      StrCpy $R0 1
    ${EndIf}
    FileClose $R4
  ${EndIf}
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
FunctionEnd
!macroend
