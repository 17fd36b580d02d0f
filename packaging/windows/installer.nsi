; The Windows installer: the two programs, a Start-menu entry, an uninstaller,
; and the data folder \QUENDRAVALT on the system drive, which only the
; installing user, the administrators and the system may use: the OAuth file
; in it holds a client secret.
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

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuenDravalt"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "QuenDravalt"
    SetRegView 64
    SetOutPath "$INSTDIR"
    File "${BIN}/quendravalt.exe"
    File "${BIN}/quendravalt-cli.exe"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    SetShellVarContext all
    CreateDirectory "$SMPROGRAMS\QuenDravalt"
    CreateShortCut "$SMPROGRAMS\QuenDravalt\QuenDravalt.lnk" "$INSTDIR\quendravalt.exe"
    CreateShortCut "$SMPROGRAMS\QuenDravalt\Uninstall QuenDravalt.lnk" "$INSTDIR\uninstall.exe"

    ; The data folder: kept by the uninstaller, never inherited from the drive's
    ; root (where every user may read), and writable by the installing user.
    ReadEnvStr $0 SystemDrive
    ReadEnvStr $2 USERNAME
    CreateDirectory "$0\QUENDRAVALT"
    nsExec::ExecToLog 'icacls "$0\QUENDRAVALT" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F "$2:(OI)(CI)M"'
    Pop $1

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
