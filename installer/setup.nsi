; HalveryDriverSetup.exe: the setup program of the Halvery Group RP1210
; driver package. It copies the package's files into the Windows directory,
; adds the vendor key HVLNK32 to the RP1210 vendor list in RP121032.INI and
; writes an uninstaller that takes back exactly what the setup added.
;
;   makensis -DIMAGE=<install image directory> -DOUTFILE=<setup.exe> setup.nsi
;
; Both programs run silently with /S. The uninstaller is
; $WINDIR\HalveryUninstall.exe; "HalveryUninstall.exe /S _?=C:\Windows" runs
; it in place and returns when it has finished.
;
; What the setup did is kept in its Add/Remove Programs key, for the
; uninstaller:
;   VendorAdded  1: the setup added HVLNK32 to the vendor list (it was not
;                listed before); 0: it was listed before
;   IniCreated   1: the setup created RP121032.INI
;   Earlier NAME 1: the Windows directory had a file NAME of the package
;                before the setup: it was copied to $WINDIR\HalveryBackup
;                before being replaced; 0: the setup put NAME there
; The uninstaller puts the earlier files back and deletes the others. It
; leaves HVLNK32 listed only when it was listed before and its earlier
; HVLNK32.DLL and HVLNK32.INI are back: a listed vendor always has its files.
; It deletes RP121032.INI only when the setup created it and it still holds
; nothing else. A second run of the setup keeps what the first one recorded.

Unicode false
!ifndef IMAGE
  !error "Give the install image directory: makensis -DIMAGE=<directory>"
!endif
!ifndef OUTFILE
  !define OUTFILE "HalveryDriverSetup.exe"
!endif
; The version shown in Add/Remove Programs: the driver's from its vendor INI.
!ifndef VERSION
  !searchparse /noerrors /file "${IMAGE}/HVLNK32.INI" "Version=" VERSION
  !define /ifndef VERSION ""
!endif

!define VENDOR_KEY "HVLNK32"
!define UNINSTALLER "HalveryUninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\HalveryRP1210"

Name "Halvery Group RP1210 Driver"
Caption "Halvery Group RP1210 Driver Setup"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
InstallDir "$WINDIR"
ShowInstDetails show
ShowUninstDetails show

Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!include LogicLib.nsh
!include rp1210list.nsh

Var IniExisted
Var VendorAdded
Var IniCreated
Var Recorded

; The package's files, all in the Windows directory: the RP1210 library, the
; adapter driver multiplexer, the checker, the vendor and adapter INI files,
; and the transports the library loads (those the image has).
!macro PACKAGE_FILES DO
  !insertmacro ${DO} "HVLNK32.DLL"
  !insertmacro ${DO} "ZMXMRP32.DLL"
  !insertmacro ${DO} "QRN.EXE"
  !insertmacro ${DO} "HVLNK32.INI"
  !insertmacro ${DO} "HV_ZMX32.INI"
  !insertmacro OPTIONAL_FILE ${DO} "ZMXSRP32.DLL"
  !insertmacro OPTIONAL_FILE ${DO} "ZMXURP2K.DLL"
  !insertmacro OPTIONAL_FILE ${DO} "ZMXTRP32.DLL"
  !insertmacro OPTIONAL_FILE ${DO} "ZMXIRP32.DLL"
  !insertmacro OPTIONAL_FILE ${DO} "ZMXHRP32.DLL"
  !insertmacro OPTIONAL_FILE ${DO} "ZMXURP98.DLL"
  !insertmacro OPTIONAL_FILE ${DO} "ZMXWRP32.DLL"
!macroend
!macro OPTIONAL_FILE DO NAME
  !if /FileExists "${IMAGE}/${NAME}"
    !insertmacro ${DO} "${NAME}"
  !endif
!macroend
!macro INSTALL_FILE NAME
  File "${IMAGE}/${NAME}"
!macroend

; Each file's Earlier state in $Earlier_<NAME with "_" for ".">: "" not known
; yet, 0 the setup's, 1 an earlier file kept in ${EARLIER_DIR}, 2 an earlier
; file copied there by this run.
!define EARLIER_DIR "$WINDIR\HalveryBackup"
!macro DECLARE_EARLIER NAME
  !searchreplace E "${NAME}" "." "_"
  Var Earlier_${E}
  !undef E
!macroend
!insertmacro PACKAGE_FILES DECLARE_EARLIER

; Setup: what an earlier run recorded, else a copy of the file found there.
!macro KEEP_EARLIER NAME
  !searchreplace E "${NAME}" "." "_"
  ReadRegDWORD $Earlier_${E} HKLM "${UNINSTALL_KEY}" "Earlier ${NAME}"
  ${If} $Earlier_${E} == ""
    StrCpy $Earlier_${E} 0
    ${If} $Recorded == 1
    ${AndIf} ${FileExists} "$WINDIR\${NAME}"
      CreateDirectory "${EARLIER_DIR}"
      System::Call 'kernel32::CopyFileA(t "$WINDIR\${NAME}", t "${EARLIER_DIR}\${NAME}", i 1) i .r0'
      ${If} $0 == 0
        Call DropEarlierCopies
        !insertmacro FAIL "Unable to keep a copy of $WINDIR\${NAME} in ${EARLIER_DIR} (is a file of that name there already?): nothing was installed."
      ${EndIf}
      StrCpy $Earlier_${E} 2
    ${EndIf}
  ${EndIf}
  !undef E
!macroend
!macro DROP_EARLIER_COPY NAME
  !searchreplace E "${NAME}" "." "_"
  ${If} $Earlier_${E} == 2
    Delete "${EARLIER_DIR}\${NAME}"
  ${EndIf}
  !undef E
!macroend
!macro RECORD_EARLIER NAME
  !searchreplace E "${NAME}" "." "_"
  ${IfThen} $Earlier_${E} == 2 ${|} StrCpy $Earlier_${E} 1 ${|}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Earlier ${NAME}" $Earlier_${E}
  !undef E
!macroend

; Uninstaller: an earlier file whose copy is there goes back, the others go.
!macro READ_EARLIER NAME
  !searchreplace E "${NAME}" "." "_"
  ReadRegDWORD $Earlier_${E} HKLM "${UNINSTALL_KEY}" "Earlier ${NAME}"
  ${IfNot} ${FileExists} "${EARLIER_DIR}\${NAME}"
    StrCpy $Earlier_${E} 0
  ${EndIf}
  !undef E
!macroend
!macro REMOVE_FILE NAME
  !searchreplace E "${NAME}" "." "_"
  ${If} $Earlier_${E} == 1
    Delete "$WINDIR\${NAME}"
    Rename /REBOOTOK "${EARLIER_DIR}\${NAME}" "$WINDIR\${NAME}"
    DetailPrint "Put back the earlier ${NAME}"
  ${Else}
    Delete /REBOOTOK "$WINDIR\${NAME}"
  ${EndIf}
  !undef E
!macroend

!macro FAIL TEXT
  MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
  SetErrorLevel 2
  Abort
!macroend

!insertmacro RP1210_TRIM_FUNCTION ""
!insertmacro RP1210_REMOVE_FUNCTION ""
!insertmacro RP1210_BACKUP_FUNCTION ""
!insertmacro RP1210_ADD_FUNCTION
!insertmacro RP1210_FIND_FUNCTION ""
!insertmacro RP1210_WRITE_FUNCTION ""
!insertmacro RP1210_TRIM_FUNCTION "un."
!insertmacro RP1210_REMOVE_FUNCTION "un."
!insertmacro RP1210_BACKUP_FUNCTION "un."
!insertmacro RP1210_FIND_FUNCTION "un."
!insertmacro RP1210_WRITE_FUNCTION "un."
!insertmacro RP1210_AS_CREATED_FUNCTION "un."

!define NOT_WRITABLE "${RP1210_INI} is read-only or in use: close the programs that use it, clear its read-only attribute and run"

Function DropEarlierCopies
  !insertmacro PACKAGE_FILES DROP_EARLIER_COPY
  RMDir "${EARLIER_DIR}"
FunctionEnd

Section "Halvery Group RP1210 Driver"
  SectionIn RO
  ; What an earlier run recorded ("" when there was none). A setup that did
  ; not record earlier files ("Earlier HVLNK32.DLL" is always recorded) left
  ; the package's files there as its own.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayName"
  ReadRegDWORD $1 HKLM "${UNINSTALL_KEY}" "Earlier ${VENDOR_KEY}.DLL"
  StrCpy $Recorded 1
  ${If} $0 != ""
  ${AndIf} $1 == ""
    StrCpy $Recorded 0
  ${EndIf}
  ReadRegDWORD $VendorAdded HKLM "${UNINSTALL_KEY}" "VendorAdded"
  ReadRegDWORD $IniCreated HKLM "${UNINSTALL_KEY}" "IniCreated"
  ${If} $VendorAdded != 1
    StrCpy $VendorAdded 0
  ${EndIf}
  ${If} $IniCreated != 1
    StrCpy $IniCreated 0
  ${EndIf}

  ; The new vendor list, checked before anything is changed: it must fit,
  ; and the file must be writable.
  StrCpy $IniExisted 0
  ${IfThen} ${FileExists} "${RP1210_INI}" ${|} StrCpy $IniExisted 1 ${|}
  Call ListFind
  ${If} $ListError != ""
    !insertmacro FAIL "$ListError. Nothing was installed."
  ${EndIf}
  StrCpy $ListKey "${VENDOR_KEY}"
  Call ListAdd
  ${If} $ListFound == 0
    ${If} $ListLength > $ListRoom
      !insertmacro FAIL "The vendor list in ${RP1210_INI} has no room for ${VENDOR_KEY} (a list holds at most $ListRoom characters there): nothing was installed and the file was not changed."
    ${EndIf}
    ${If} $IniExisted == 1
      Call ListWritable
      ${If} ${Errors}
        !insertmacro FAIL "${NOT_WRITABLE} the setup again. Nothing was installed."
      ${EndIf}
    ${EndIf}
  ${EndIf}

  ; Earlier files of the package are kept before they are replaced.
  !insertmacro PACKAGE_FILES KEEP_EARLIER
  StrCpy $BackupName ""
  ${If} $ListFound == 0
  ${AndIf} $IniExisted == 1
    Call MakeBackup
    ${If} ${Errors}
      Call DropEarlierCopies
      !insertmacro FAIL "Unable to back up ${RP1210_INI} to $BackupName: nothing was installed and the file was not changed."
    ${EndIf}
    DetailPrint "Backup of RP121032.INI: $BackupName"
  ${EndIf}
  ; The earlier files' record before any file is replaced: a setup stopped
  ; while it copies leaves copies that a later run and the uninstaller know.
  !insertmacro PACKAGE_FILES RECORD_EARLIER

  SetOutPath "$WINDIR"
  SetOverwrite on
  !insertmacro PACKAGE_FILES INSTALL_FILE

  WriteUninstaller "$WINDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Halvery Group RP1210 Driver (HVLNK32)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Halvery Group"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$WINDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$WINDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$WINDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ${If} $ListFound == 0
    Call ListWrite
    ${If} ${Errors}
      !insertmacro FAIL "The files were installed, but ${VENDOR_KEY} could not be added to the vendor list in ${RP1210_INI}, which was left as it was (its copy from before: $BackupName). Run the setup again."
    ${EndIf}
    DetailPrint "RP1210 vendor list: $ListText"
    StrCpy $VendorAdded 1
    ${If} $IniExisted == 0
      StrCpy $IniCreated 1
    ${EndIf}
  ${Else}
    DetailPrint "RP1210 vendor list already names ${VENDOR_KEY}: not changed"
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VendorAdded" $VendorAdded
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "IniCreated" $IniCreated
SectionEnd

Section "Uninstall"
  ReadRegDWORD $VendorAdded HKLM "${UNINSTALL_KEY}" "VendorAdded"
  ReadRegDWORD $IniCreated HKLM "${UNINSTALL_KEY}" "IniCreated"
  !insertmacro PACKAGE_FILES READ_EARLIER

  ; The vendor list first: when it cannot be changed, nothing is removed.
  ; HVLNK32 stays listed when it was listed before and its earlier files go
  ; back; otherwise nothing of it is left to list.
  ${If} $VendorAdded == 0
  ${AndIf} $Earlier_HVLNK32_DLL == 1
  ${AndIf} $Earlier_HVLNK32_INI == 1
    DetailPrint "RP1210 vendor list: ${VENDOR_KEY} stays (its earlier files are put back)"
  ${ElseIf} ${FileExists} "${RP1210_INI}"
    Call un.ListFind
    ${If} $ListError != ""
      !insertmacro FAIL "$ListError. Nothing was removed."
    ${EndIf}
    StrCpy $ListKey "${VENDOR_KEY}"
    Call un.ListRemove
    ${If} $ListFound == 1
      Call un.ListWritable
      ${If} ${Errors}
        !insertmacro FAIL "${NOT_WRITABLE} the uninstaller again. Nothing was removed."
      ${EndIf}
      StrCpy $R0 0
      ${IfThen} $IniCreated == 1 ${|} Call un.ListAsCreated ${|}
      ${If} $R0 == 1
        Delete "${RP1210_INI}"
        DetailPrint "Removed RP121032.INI (created by the setup)"
      ${Else}
        Call un.MakeBackup
        ${If} ${Errors}
          !insertmacro FAIL "Unable to back up ${RP1210_INI} to $BackupName: nothing was removed and the file was not changed."
        ${EndIf}
        DetailPrint "Backup of RP121032.INI: $BackupName"
        Call un.ListWrite
        ${If} ${Errors}
          !insertmacro FAIL "Unable to write the vendor list to ${RP1210_INI}, which was left as it was (its copy from before: $BackupName): nothing was removed."
        ${EndIf}
        DetailPrint "RP1210 vendor list: $ListText"
      ${EndIf}
    ${EndIf}
  ${EndIf}

  !insertmacro PACKAGE_FILES REMOVE_FILE
  RMDir "${EARLIER_DIR}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Run in place (_?=) the uninstaller cannot delete itself at once.
  Delete /REBOOTOK "$WINDIR\${UNINSTALLER}"
SectionEnd
