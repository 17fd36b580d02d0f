; The Windows installer: the two programs, a Start-menu entry, an uninstaller,
; and the data folder \QUENDRAVALT on the system drive, which only the
; installing user, the administrators and the system may use: the OAuth file
; in it holds a client secret. An installer that cannot make the folder so
; installs nothing.
;
;   makensis -DVERSION=1.0.0.1 -DBIN=<folder with the .exe and .ico> -DOUT=<setup.exe> installer.nsi

; 64-bit like the programs it installs (and Wine without its 32-bit part can run it).
Target amd64-unicode
SetCompressor /SOLID lzma
Name "QuenDravalt ${VERSION}"
OutFile "${OUT}"
Icon "${BIN}/quendravalt.ico"
UninstallIcon "${BIN}/quendravalt.ico"
InstallDir "$PROGRAMFILES64\QuenDravalt"
RequestExecutionLevel admin
ShowInstDetails show

!include LogicLib.nsh

; The version resource Explorer shows for the installer (VERSION is a.b.c.d).
VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "QuenDravalt"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "QuenDravalt ${VERSION} Setup"
VIAddVersionKey /LANG=0 "CompanyName" "QuenDravalt"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (C) 2007-2026 the QuenDravalt developers"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuenDravalt"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Runs an icacls (or takeown) command line; stops the installation when it fails.
; ("error" when it could not be started at all.)
!macro DataFolderStep COMMAND
    nsExec::ExecToLog '${COMMAND}'
    Pop $1
    ${If} $1 != 0
        DetailPrint `failed ($1): ${COMMAND}`
        MessageBox MB_OK|MB_ICONSTOP "The data folder $0\QUENDRAVALT could not be made private to you, the administrators and the system. Nothing was installed." /SD IDOK
        Abort
    ${EndIf}
!macroend

Section "QuenDravalt"
    SetRegView 64
    ; The data folder first: kept by the uninstaller, and taken over when it
    ; exists, whoever made it. The Administrators become its owner, and the
    ; permissions of the folder and of everything in it are replaced by full
    ; control for the system and the administrators and change for the
    ; installing user, by SID, without what the drive's root would pass on.
    ReadEnvStr $0 SystemDrive
    System::Call 'advapi32::OpenProcessToken(p -1, i 0x8, *p .r3) i .r1'
    StrCmp $1 0 sid_failed
    System::Call 'advapi32::GetTokenInformation(p r3, i 1, p 0, i 0, *i .r4)'
    System::Alloc $4
    Pop $5
    System::Call 'advapi32::GetTokenInformation(p r3, i 1, p r5, i r4, *i .r4) i .r1'
    StrCmp $1 0 sid_failed
    System::Call '*$5(p .r6)'
    System::Call 'advapi32::ConvertSidToStringSidW(p r6, *w .r2) i .r1'
    StrCmp $1 0 sid_failed
    System::Free $5
    System::Call 'kernel32::CloseHandle(p r3)'
    StrCpy $7 $2 4
    StrCmp $7 "S-1-" sid_ok
    sid_failed:
        MessageBox MB_OK|MB_ICONSTOP "The installing user's SID could not be read. Nothing was installed." /SD IDOK
        Abort
    sid_ok:
    CreateDirectory "$0\QUENDRAVALT"
    ; takeown uses the administrators' privilege to take ownership, also of a
    ; folder whose permissions shut them out. (Wine has no takeown.)
    ${If} ${FileExists} "$SYSDIR\takeown.exe"
        !insertmacro DataFolderStep 'takeown /F "$0\QUENDRAVALT" /A /R /D Y'
    ${EndIf}
    !insertmacro DataFolderStep 'icacls "$0\QUENDRAVALT" /setowner *S-1-5-32-544 /T'
    ; Only inherited entries left, then none: the creator's entries go.
    !insertmacro DataFolderStep 'icacls "$0\QUENDRAVALT" /reset /T'
    !insertmacro DataFolderStep 'icacls "$0\QUENDRAVALT" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *$2:(OI)(CI)M /T'

    SetOutPath "$INSTDIR"
    File "${BIN}/quendravalt.exe"
    File "${BIN}/quendravalt-cli.exe"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    SetShellVarContext all
    CreateDirectory "$SMPROGRAMS\QuenDravalt"
    CreateShortCut "$SMPROGRAMS\QuenDravalt\QuenDravalt.lnk" "$INSTDIR\quendravalt.exe"
    CreateShortCut "$SMPROGRAMS\QuenDravalt\Uninstall QuenDravalt.lnk" "$INSTDIR\uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "QuenDravalt"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "QuenDravalt"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quendravalt.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetRegView 64
    SetShellVarContext all
    Delete "$SMPROGRAMS\QuenDravalt\QuenDravalt.lnk"
    Delete "$SMPROGRAMS\QuenDravalt\Uninstall QuenDravalt.lnk"
    RMDir "$SMPROGRAMS\QuenDravalt"
    Delete "$INSTDIR\quendravalt.exe"
    Delete "$INSTDIR\quendravalt-cli.exe"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ; \QUENDRAVALT stays: it holds the administrator's configuration, lists and logs.
SectionEnd
