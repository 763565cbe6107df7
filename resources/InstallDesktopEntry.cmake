# Run by cmake --install: writes the desktop entry with the installed program's path in Exec.
set(program "${CMAKE_INSTALL_PREFIX}/${KESTRELAMP_BINDIR}/kestrelamp")
# Quoting covers spaces and the like; these characters would need escapes that desktops read
# differently.
if(program MATCHES "[\"`$\\%]" OR program MATCHES "[\n\t\r]")
    message(FATAL_ERROR "The desktop entry cannot name a program at ${program}: "
        "choose a prefix without \" ` $ \\ % or control characters")
endif()
if(program MATCHES "[^-A-Za-z0-9_./+,:@]")
    set(KESTRELAMP_EXEC "\"${program}\"")
else()
    set(KESTRELAMP_EXEC "${program}")
endif()
configure_file("${KESTRELAMP_DESKTOP_TEMPLATE}" "${KESTRELAMP_DESKTOP_ENTRY}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${KESTRELAMP_DATADIR}/applications"
    TYPE FILE FILES "${KESTRELAMP_DESKTOP_ENTRY}")
