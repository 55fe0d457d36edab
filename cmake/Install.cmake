# What `cmake --install` puts where, and the Debian package made from it with CPack:
#
#   bin/Halvane                       link to the program in its private folder
#   bin/halvane-panel                 the controller console
#   lib/halvane/Halvane               the program; its components, the queue relay and the
#   lib/halvane/components/           suite's stand-ins sit next to it, where the program
#   lib/halvane/ZandrelQueueRelay     and the message queue component look for them
#   lib/halvane/Zandrel Software/     the stand-ins in the suite's layout (a Setup_Path)
#   share/halvane/Halvane_0x*.lng     the language files
#   share/applications/Halvane.desktop
#   share/icons/hicolor/{scalable,NxN}/apps/halvane.{svg,png}   (src/res)
#   share/doc/halvane/README.md
#
# The program's own install rules sit next to their targets; this file adds the link,
# the desktop entry and the package.

# The link is relative, so that it holds wherever the tree is unpacked; the program finds
# its folder through the link's target (/proc/self/exe), not through the link.
file(RELATIVE_PATH _hv_program_from_bin
    "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${HALVANE_INSTALL_PROGRAM_DIR}/Halvane")
set(_hv_link "${CMAKE_BINARY_DIR}/install-links/Halvane")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/install-links")
file(CREATE_LINK "${_hv_program_from_bin}" "${_hv_link}" SYMBOLIC)
install(FILES "${_hv_link}" DESTINATION "${CMAKE_INSTALL_BINDIR}")

install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/halvane")
install(FILES "${PROJECT_SOURCE_DIR}/src/res/Halvane.desktop"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")

# Everything the install rules take, for a build of only what is installed:
# `cmake --build build --target halvane_installed`.
add_custom_target(halvane_installed)
add_dependencies(halvane_installed Halvane halvane-panel ZandrelQueueRelay
    suite_components suite_programs halvane_icons)

# ---- the Debian package: cpack --config build/CPackConfig.cmake -B build/package ----
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "halvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Tervanix")
set(CPACK_PACKAGE_CONTACT "Halvane maintainers <halvane@localhost>"
    CACHE STRING "The package's maintainer")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Crestron controller link for the replay workstation of an ice-hockey venue")
set(CPACK_PACKAGE_DESCRIPTION
    "Halvane runs on the replay workstation of an ice-hockey venue. A Crestron controller
connects to it over TCP and asks for the current game, its periods and its referee
events, and for replays at a chosen time, camera and speed. Halvane builds its picture
of the game from the replay suite's referee console and recorder, runs the game's life
cycle from a notification-area icon and copies recordings to a video archive.
The package holds the program, the controller console halvane-panel, and stand-ins for
the suite's components and programs.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The Qt 6 libraries and libedit, with their versions, from what the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# No maintainer scripts: the desktop and icon caches are refreshed by the triggers of the
# packages that own them.
include(CPack)
