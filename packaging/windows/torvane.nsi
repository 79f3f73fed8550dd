; The Windows installer: the programs, the voice codec's DLL, Language.ini and the licence in one
; folder, a Start-menu folder (a command prompt there, the licence, the uninstaller) and an
; uninstaller that removes exactly what was installed. scripts/build-windows.sh runs makensis with
; -DVERSION=1.0.0 -DSTAGE=<folder holding the files> -DOUTFILE=<setup.exe>, and -DWINDOW when the
; window (torvane.exe) was built.
; A 64-bit installer, as the programs are (and it runs where no 32-bit support is installed).
Target amd64-unicode
SetCompressor /SOLID lzma

!define APP "Torvane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
RequestExecutionLevel admin
ShowInstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "See LICENSE.txt"

LicenseData "${STAGE}/LICENSE.txt"
Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "${APP}"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
!ifdef WINDOW
  File "${STAGE}/torvane.exe"
!endif
  File "${STAGE}/torvane-convert.exe"
  File "${STAGE}/torvane-mkifv.exe"
  File "${STAGE}/tvvoice.dll"
  File "${STAGE}/Language.ini"
  File "${STAGE}/LICENSE.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The command-line programs have no window: the entry opens a command prompt in their folder,
  ; with the folder on the search path, and shows the converter's usage.
  CreateDirectory "$SMPROGRAMS\${APP}"
!ifdef WINDOW
  CreateShortCut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\torvane.exe"
!endif
  CreateShortCut "$SMPROGRAMS\${APP}\${APP} command prompt.lnk" "$SYSDIR\cmd.exe" \
    '/k set "PATH=$INSTDIR;%PATH%" & torvane-convert.exe --help' "$INSTDIR\torvane-convert.exe"
  CreateShortCut "$SMPROGRAMS\${APP}\Licence.lnk" "$INSTDIR\LICENSE.txt"
  CreateShortCut "$SMPROGRAMS\${APP}\Uninstall ${APP}.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only the installed files go: the folder is removed only when nothing else is left in it (a
; user's converted files there stay).
Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\torvane.exe"
  Delete "$INSTDIR\torvane-convert.exe"
  Delete "$INSTDIR\torvane-mkifv.exe"
  Delete "$INSTDIR\tvvoice.dll"
  Delete "$INSTDIR\Language.ini"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${APP}\${APP}.lnk"
  Delete "$SMPROGRAMS\${APP}\${APP} command prompt.lnk"
  Delete "$SMPROGRAMS\${APP}\Licence.lnk"
  Delete "$SMPROGRAMS\${APP}\Uninstall ${APP}.lnk"
  RMDir "$SMPROGRAMS\${APP}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
