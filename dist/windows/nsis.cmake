# The installer, where NSIS's makensis is found: the programs under Program Files,
# a Start-menu entry for the window, "Open with" for *.hex files (the type keeps
# its default program), and an uninstaller in Windows' list of programs, which
# removes all of it again. Included by dist/windows/CMakeLists.txt.
find_program(TARVIK_MAKENSIS makensis)
if(TARVIK_MAKENSIS)
    list(APPEND CPACK_GENERATOR NSIS)
    # A 64-bit installer for the 64-bit programs: into Program Files, not Program Files (x86),
    # with the registry's 64-bit view; and one that Wine without its 32-bit part can check.
    set(CPACK_NSIS_DEFINES "Target amd64-unicode")
    set(CPACK_NSIS_INSTALL_ROOT [=[$PROGRAMFILES64]=])
    set(CPACK_NSIS_PACKAGE_NAME "Tarvik Setup Converter")
    set(CPACK_NSIS_DISPLAY_NAME "Tarvik Setup Converter")
    set(CPACK_NSIS_MUI_ICON ${TARVIK_ICON})
    set(CPACK_NSIS_MUI_UNIICON ${TARVIK_ICON})
    set(CPACK_NSIS_INSTALLED_ICON_NAME [=[bin\tarvik-setup-converter.exe]=])
    set(CPACK_PACKAGE_EXECUTABLES tarvik-setup-converter "Tarvik Setup Converter")
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    # A file type of its own for "Open with", listed under .hex beside the others.
    set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS [=[
  WriteRegStr HKCR "TarvikSetupConverter.hex" "" "Tarvik setup file"
  WriteRegStr HKCR "TarvikSetupConverter.hex\DefaultIcon" "" "$INSTDIR\bin\tarvik-setup-converter.exe,0"
  WriteRegStr HKCR "TarvikSetupConverter.hex\shell\open\command" "" '"$INSTDIR\bin\tarvik-setup-converter.exe" "%1"'
  WriteRegStr HKCR ".hex\OpenWithProgids" "TarvikSetupConverter.hex" ""
]=])
    set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS [=[
  DeleteRegValue HKCR ".hex\OpenWithProgids" "TarvikSetupConverter.hex"
  DeleteRegKey HKCR "TarvikSetupConverter.hex"
]=])
endif()
