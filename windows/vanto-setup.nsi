; The installer of the components (a 64-bit program): vanto-setup.exe installs the 64-bit modules
; in $PROGRAMFILES64\VANTO\x64 and, where the system runs 32-bit programs (its SysWOW64 holds a
; regsvr32), the 32-bit ones in $PROGRAMFILES64\VANTO\x86; registers each module with the regsvr32
; of its own bitness, and writes an uninstaller that unregisters and removes them. A module that
; does not register undoes the whole installation (what was registered is unregistered, the files
; are removed) and the installer ends with status 2.
;
;   makensis -DX64_DIR=<64-bit build> -DX86_DIR=<32-bit build> -DOUT=<vanto-setup.exe> windows/vanto-setup.nsi
;
; Silent use: vanto-setup.exe /S; uninstall.exe /S (the uninstaller restarts itself from a
; temporary folder, so it ends before the files are gone).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
!include "LogicLib.nsh"

!ifndef X64_DIR | X86_DIR | OUT
  !error "define X64_DIR, X86_DIR and OUT"
!endif

Name "VANTO"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES64\VANTO"
ShowInstDetails show
ShowUninstDetails show

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VANTO"

Var failed
Var has32  ; "yes" when the system runs 32-bit programs

; Runs the regsvr32 of the given bitness ("x64" or "x86") on a module: $0 is its exit status.
!macro RegSvr BITS ARGS MODULE
  StrCpy $0 "not run"
  ClearErrors
  ${If} "${BITS}" == "x64"
    ExecWait '"$SYSDIR\regsvr32.exe" /s ${ARGS} "$INSTDIR\x64\${MODULE}"' $0
  ${ElseIf} $has32 == "yes"
    ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /s ${ARGS} "$INSTDIR\x86\${MODULE}"' $0
  ${EndIf}
  ${If} ${Errors}
    StrCpy $0 "cannot be started"
  ${EndIf}
  DetailPrint "regsvr32 ${ARGS} ${BITS}\${MODULE}: $0"
!macroend

!macro Register BITS MODULE
  ${If} $failed == ""
  ${AndIf} "${BITS}$has32" != "x86"
    !insertmacro RegSvr ${BITS} "" ${MODULE}
    ${If} $0 != 0
      StrCpy $failed "${BITS}\${MODULE}"
    ${EndIf}
  ${EndIf}
!macroend

!macro UnregisterAll
  ${If} $has32 == "yes"
    !insertmacro RegSvr x86 /u VantoHost.dll
    !insertmacro RegSvr x86 /u VANTO.dll
    !insertmacro RegSvr x86 /u FK303ID.ocx
    !insertmacro RegSvr x86 /u Corvel.dll
  ${EndIf}
  !insertmacro RegSvr x64 /u VantoHost.dll
  !insertmacro RegSvr x64 /u VANTO.dll
  !insertmacro RegSvr x64 /u FK303ID.ocx
  !insertmacro RegSvr x64 /u Corvel.dll
!macroend

!macro RemoveFiles
  Delete "$INSTDIR\x64\Corvel.dll"
  Delete "$INSTDIR\x64\FK303ID.ocx"
  Delete "$INSTDIR\x64\VANTO.dll"
  Delete "$INSTDIR\x64\VantoHost.dll"
  Delete "$INSTDIR\x86\Corvel.dll"
  Delete "$INSTDIR\x86\FK303ID.ocx"
  Delete "$INSTDIR\x86\VANTO.dll"
  Delete "$INSTDIR\x86\VantoHost.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR\x86"
  RMDir "$INSTDIR"
!macroend

Function FindSubsystem32
  StrCpy $has32 ""
  ${If} ${FileExists} "$WINDIR\SysWOW64\regsvr32.exe"
    StrCpy $has32 "yes"
  ${EndIf}
FunctionEnd
Function un.FindSubsystem32
  StrCpy $has32 ""
  ${If} ${FileExists} "$INSTDIR\x86\VANTO.dll"
  ${AndIf} ${FileExists} "$WINDIR\SysWOW64\regsvr32.exe"
    StrCpy $has32 "yes"
  ${EndIf}
FunctionEnd

Function .onInit
  SetRegView 64
  Call FindSubsystem32
FunctionEnd

Section "Components"
  StrCpy $failed ""
  SetOutPath "$INSTDIR\x64"
  File "${X64_DIR}/Corvel.dll"
  File "${X64_DIR}/FK303ID.ocx"
  File "${X64_DIR}/VANTO.dll"
  File "${X64_DIR}/VantoHost.dll"
  ${If} $has32 == "yes"
    SetOutPath "$INSTDIR\x86"
    File "${X86_DIR}/Corvel.dll"
    File "${X86_DIR}/FK303ID.ocx"
    File "${X86_DIR}/VANTO.dll"
    File "${X86_DIR}/VantoHost.dll"
  ${Else}
    DetailPrint "This system runs no 32-bit programs: the 32-bit components are not installed"
  ${EndIf}
  SetOutPath "$INSTDIR"

  !insertmacro Register x64 Corvel.dll
  !insertmacro Register x64 FK303ID.ocx
  !insertmacro Register x64 VANTO.dll
  !insertmacro Register x64 VantoHost.dll
  !insertmacro Register x86 Corvel.dll
  !insertmacro Register x86 FK303ID.ocx
  !insertmacro Register x86 VANTO.dll
  !insertmacro Register x86 VantoHost.dll
  ${If} $failed != ""
    DetailPrint "$failed did not register: the installation is undone"
    SetOutPath "$TEMP"  ; the installation folder must not be the working folder to be removed
    !insertmacro UnregisterAll
    !insertmacro RemoveFiles
    MessageBox MB_ICONSTOP "$failed did not register; nothing was installed." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "VANTO"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
  Call un.FindSubsystem32
FunctionEnd

Section "Uninstall"
  !insertmacro UnregisterAll
  !insertmacro RemoveFiles
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
