# The installer, where NSIS's makensis is found: the programs under Program Files,
# a Start-menu entry for the window, "Open with" for *.hex files (the type keeps
# its default program), the install folder on PATH if chosen (or with /ADDTOPATH on
# its command line), "Run" on its last page, and an uninstaller in Windows' list of
# programs, with the size, which removes all of it again. It carries its own version
# information, and a newer one installs over an older one in place. Included by
# dist/windows/CMakeLists.txt.
find_program(TARVIK_MAKENSIS makensis)
if(TARVIK_MAKENSIS)
    list(APPEND CPACK_GENERATOR NSIS)
    # A 64-bit installer for the 64-bit programs: into Program Files, not Program Files (x86),
    # with the registry's 64-bit view; and one that Wine without its 32-bit part can check.
    # FileFunc: GetSize and GetOptions, below.
    set(CPACK_NSIS_DEFINES "Target amd64-unicode
  !include FileFunc.nsh
  VIProductVersion ${PROJECT_VERSION}.0
  VIAddVersionKey /LANG=1033 ProductName \"Tarvik Setup Converter\"
  VIAddVersionKey /LANG=1033 FileDescription \"Tarvik Setup Converter installer\"
  VIAddVersionKey /LANG=1033 CompanyName Tarvik
  VIAddVersionKey /LANG=1033 LegalCopyright \"2026 Tarvik\"
  VIAddVersionKey /LANG=1033 FileVersion ${PROJECT_VERSION}
  VIAddVersionKey /LANG=1033 ProductVersion ${PROJECT_VERSION}")
    set(CPACK_NSIS_INSTALL_ROOT [=[$PROGRAMFILES64]=])
    set(CPACK_NSIS_PACKAGE_NAME "Tarvik Setup Converter")
    set(CPACK_NSIS_DISPLAY_NAME "Tarvik Setup Converter")
    set(CPACK_NSIS_MUI_ICON ${TARVIK_ICON})
    set(CPACK_NSIS_MUI_UNIICON ${TARVIK_ICON})
    set(CPACK_NSIS_INSTALLED_ICON_NAME [=[bin\tarvik-setup-converter.exe]=])
    set(CPACK_PACKAGE_EXECUTABLES tarvik-setup-converter "Tarvik Setup Converter")
    # One entry in the list of programs whatever the version, so that a newer one replaces it.
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Tarvik Setup Converter")
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL OFF)
    set(CPACK_NSIS_MODIFY_PATH ON)
    set(CPACK_NSIS_MUI_FINISHPAGE_RUN tarvik-setup-converter.exe)
    # A file type of its own for "Open with", listed under .hex beside the others.
    set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS [=[
  WriteRegStr HKCR "TarvikSetupConverter.hex" "" "Tarvik setup file"
  WriteRegStr HKCR "TarvikSetupConverter.hex\DefaultIcon" "" "$INSTDIR\bin\tarvik-setup-converter.exe,0"
  WriteRegStr HKCR "TarvikSetupConverter.hex\shell\open\command" "" '"$INSTDIR\bin\tarvik-setup-converter.exe" "%1"'
  WriteRegStr HKCR ".hex\OpenWithProgids" "TarvikSetupConverter.hex" ""
  ; The size the list of programs shows, in KB.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvik Setup Converter" "EstimatedSize" "$0"
  ; /ADDTOPATH: the install folder on PATH for all users, as the option page offers.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ADDTOPATH" $R1
  IfErrors +9
    StrCpy $DO_NOT_ADD_TO_PATH "0"
    StrCpy $ADD_TO_PATH_ALL_USERS "1"
    Push "DoNotAddToPath" ; and for the uninstaller, which takes it off PATH again
    Push "0"
    Call ConditionalAddToRegistry
    Push "AddToPathAllUsers"
    Push "1"
    Call ConditionalAddToRegistry
    ClearErrors
]=])
    set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS [=[
  DeleteRegValue HKCR ".hex\OpenWithProgids" "TarvikSetupConverter.hex"
  DeleteRegKey HKCR "TarvikSetupConverter.hex"
]=])
endif()
