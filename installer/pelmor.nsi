; Per-user installer for Pelmor (64-bit Windows). Built by scripts/windows/package.sh:
;   makensis /INPUTCHARSET UTF8 -DVERSION=1.0.0 -DSTAGE=<folder> -DOUTFILE=<installer.exe>
;            -DFILES=<files.nsh> -DUNFILES=<unfiles.nsh> -DLICENSE=<LICENSE> -DICON=<pelmor.ico> pelmor.nsi
; STAGE is the program folder plus licenses/; FILES and UNFILES list its files and folders, so
; the uninstaller removes exactly what was installed and nothing a user put beside it.
Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
; File times would make two builds of the same sources differ.
SetDateSave off

!ifndef VERSION
  !error "VERSION is not defined"
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Pelmor"

Name "Pelmor"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Pelmor"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Pelmor ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1041 "ProductName" "Pelmor"
VIAddVersionKey /LANG=1041 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "FileDescription" "Pelmor インストーラー"
VIAddVersionKey /LANG=1041 "CompanyName" "The Pelmor authors"
VIAddVersionKey /LANG=1041 "LegalCopyright" "Copyright (c) 2026 The Pelmor authors"

!include "MUI2.nsh"

!define MUI_ABORTWARNING
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"

!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "Pelmor をインストールしました。$\r$\n$\r$\nスタートメニューから起動すると、データ ファイル「表示するデータ.txt」はドキュメントの Pelmor フォルダーに保存されます。"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Pelmor を起動する"
!define MUI_FINISHPAGE_RUN_FUNCTION RunPelmor
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "Pelmor をアンインストールしました"
!define MUI_FINISHPAGE_TEXT "プログラムとショートカットを削除しました。$\r$\n$\r$\nデータ ファイル「表示するデータ.txt」とドキュメントの Pelmor フォルダーは削除していません。不要なら手動で削除してください。"
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "Japanese"

Function RunPelmor
  ; The data file belongs in the working folder, which is the documents folder, never $INSTDIR.
  SetOutPath "$DOCUMENTS\Pelmor"
  Exec '"$INSTDIR\pelmor.exe"'
FunctionEnd

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Pelmor 本体" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Made when missing; an existing one and the data file in it are left as they are.
  CreateDirectory "$DOCUMENTS\Pelmor"
  SetOutPath "$DOCUMENTS\Pelmor"
  CreateShortCut "$SMPROGRAMS\Pelmor.lnk" "$INSTDIR\pelmor.exe" "" "$INSTDIR\pelmor.exe" 0 \
      SW_SHOWNORMAL "" "Pelmor"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Pelmor"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "The Pelmor authors"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\pelmor.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize ${SecProgram} $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "スタートメニュー" SecStartMenu
  ; Made with the program above (it needs its working folder); shown so users see it is always made.
  SectionIn RO
SectionEnd

Section /o "デスクトップ" SecDesktop
  SetOutPath "$DOCUMENTS\Pelmor"
  CreateShortCut "$DESKTOP\Pelmor.lnk" "$INSTDIR\pelmor.exe" "" "$INSTDIR\pelmor.exe" 0 \
      SW_SHOWNORMAL "" "Pelmor"
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "Pelmor のプログラムと、それが使う Qt などのライブラリとライセンス文書。"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecStartMenu} "スタートメニューに Pelmor を追加します (常に作成)。作業フォルダーはドキュメントの Pelmor フォルダーです。"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDesktop} "デスクトップに Pelmor のショートカットを作成します。"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Pelmor.lnk"
  Delete "$DESKTOP\Pelmor.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DetailPrint "データ ファイルとドキュメントの Pelmor フォルダーは残しています。"
SectionEnd
