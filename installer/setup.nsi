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
;                listed before): the uninstaller removes it again
;   IniCreated   1: the setup created RP121032.INI: the uninstaller deletes it
;                when the list holds no vendor but HVLNK32
; A second run of the setup keeps what the first one recorded.

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
!macro REMOVE_FILE NAME
  Delete /REBOOTOK "$WINDIR\${NAME}"
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

!define NOT_WRITABLE "${RP1210_INI} is read-only or in use: close the programs that use it, clear its read-only attribute and run"

Section "Halvery Group RP1210 Driver"
  SectionIn RO
  ; What an earlier run recorded ("" when there was none).
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

  StrCpy $BackupName ""
  ${If} $ListFound == 0
  ${AndIf} $IniExisted == 1
    Call MakeBackup
    ${If} ${Errors}
      !insertmacro FAIL "Unable to back up ${RP1210_INI} to $BackupName: nothing was installed and the file was not changed."
    ${EndIf}
    DetailPrint "Backup of RP121032.INI: $BackupName"
  ${EndIf}

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
      !insertmacro FAIL "The files were installed, but ${VENDOR_KEY} could not be added to the vendor list in ${RP1210_INI} (its copy from before: $BackupName). Run the setup again."
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

  ; The vendor list first: when it cannot be backed up and changed, nothing
  ; is removed, so the list never names a vendor whose files are gone.
  ${If} $VendorAdded == 1
  ${AndIf} ${FileExists} "${RP1210_INI}"
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
      ${If} $IniCreated == 1
      ${AndIf} $ListText == ""
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
          !insertmacro FAIL "Unable to write the vendor list to ${RP1210_INI} (its copy from before: $BackupName): nothing was removed."
        ${EndIf}
        DetailPrint "RP1210 vendor list: $ListText"
      ${EndIf}
    ${EndIf}
  ${EndIf}

  !insertmacro PACKAGE_FILES REMOVE_FILE
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Run in place (_?=) the uninstaller cannot delete itself at once.
  Delete /REBOOTOK "$WINDIR\${UNINSTALLER}"
SectionEnd
