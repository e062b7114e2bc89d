# What "make install" puts beside the two programs, and the Debian package
# that "cpack -G DEB" (or the "package" target) makes of it.
include(GNUInstallDirs)
set(ambrel_resources ${PROJECT_SOURCE_DIR}/src/app/resources)

# Manual pages, compressed without a name or time stamp so the package is
# the same from one build to the next.
set(ambrel_man_pages ambrel.1 ambrel-codec.1)
set(ambrel_man_gz "")
foreach(page ${ambrel_man_pages})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${gz}
    DEPENDS ${source}
    VERBATIM)
  list(APPEND ambrel_man_gz ${gz})
endforeach()
add_custom_target(ambrel_man_pages ALL DEPENDS ${ambrel_man_gz})
install(FILES ${ambrel_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The icon in the sizes desktops look for (rendered from ambrel.svg by
# scripts/make-icons.sh); the SVG itself is installed with the program.
foreach(size 16 32 48 64 128 256)
  install(FILES ${ambrel_resources}/desktop/icons/${size}x${size}/ambrel.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# The systemd user unit names the program by its installed path, which is
# known only when installing (cpack installs with the prefix /usr).
install(CODE "
  set(AMBREL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${ambrel_resources}/systemd/ambrel@.service.in\"
                 \"${CMAKE_BINARY_DIR}/systemd/ambrel@.service\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/systemd/ambrel@.service\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ambrel)
set(CPACK_PACKAGE_VENDOR "Ambrel developers")
set(CPACK_PACKAGE_CONTACT "Ambrel developers <ambrel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serverless peer-to-peer voice over UDP")
set(CPACK_PACKAGE_DESCRIPTION
  "Two copies of Ambrel talk directly over UDP, without any server: one listens,
the other connects by host and port. Both record from the sound card, compress
with a voice codec (Speex, GSM 06.10, G.711, LPC-10 and others) and play what
the peer sends. One copy can also page several others at once. It has a Qt
window and a headless mode driven by the command line, which a systemd user
service (ambrel@.service) can run unattended.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
include(CPack)
