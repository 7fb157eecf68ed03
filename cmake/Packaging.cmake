# Installation layout and the Debian package.
#
#   <prefix>/lib/quorvane/quorvane, quorvane-host, quorvane-bridge
#       The three programs live in one folder: the bridge starts `quorvane`
#       beside itself, and the app registers the `quorvane-host` beside itself.
#   <prefix>/bin/quorvane, <prefix>/bin/quorvane-bridge
#       Relative symbolic links into lib/quorvane. The programs resolve their
#       own executable through /proc/self/exe, so a link finds the real folder.
#   <prefix>/share/applications/com.zentrafell.quorvane.desktop
#   <prefix>/share/icons/hicolor/{scalable,48x48,128x128,256x256}/apps/com.zentrafell.quorvane.*
#   <prefix>/share/doc/quorvane/OPERATOR.md
#
# `cmake --install <build> --prefix <dir>` lays this out; `cpack -G DEB` in the
# build folder makes the package (prefix /usr).

set(QUORVANE_PROGRAM_DIR "lib/quorvane")
set(_quorvane_packaging "${PROJECT_SOURCE_DIR}/packaging")

foreach(_program quorvane quorvane-host quorvane-bridge)
    if(TARGET ${_program})
        install(TARGETS ${_program} RUNTIME DESTINATION ${QUORVANE_PROGRAM_DIR})
    endif()
endforeach()

# The links are made in the build tree and installed as links.
set(_quorvane_links "${CMAKE_BINARY_DIR}/packaging/bin")
file(MAKE_DIRECTORY "${_quorvane_links}")
foreach(_program quorvane quorvane-bridge)
    if(TARGET ${_program})
        file(CREATE_LINK "../${QUORVANE_PROGRAM_DIR}/${_program}" "${_quorvane_links}/${_program}" SYMBOLIC)
        install(FILES "${_quorvane_links}/${_program}" DESTINATION bin)
    endif()
endforeach()

install(FILES "${_quorvane_packaging}/com.zentrafell.quorvane.desktop" DESTINATION share/applications)
install(FILES "${_quorvane_packaging}/icons/com.zentrafell.quorvane.svg"
        DESTINATION share/icons/hicolor/scalable/apps)
foreach(_size 48 128 256)
    install(FILES "${_quorvane_packaging}/icons/com.zentrafell.quorvane-${_size}.png"
            DESTINATION share/icons/hicolor/${_size}x${_size}/apps
            RENAME com.zentrafell.quorvane.png)
endforeach()
install(FILES "${PROJECT_SOURCE_DIR}/docs/OPERATOR.md" DESTINATION share/doc/quorvane)

# ---- Debian package ----------------------------------------------------------------

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quorvane")
set(CPACK_PACKAGE_VENDOR "Zentrafell")
set(CPACK_PACKAGE_CONTACT "Quorvane maintainers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "points ledger for the AI agents on this computer, served over MCP")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_RELEASE "1")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The shared libraries the programs link decide the dependencies; Qt's
# platform plugins are loaded at run time, so the window needs them named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(QUORVANE_BUILD_APP)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
    # Emoji in agents' names and memos render as pictures, not boxes.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, fonts-noto-color-emoji")
endif()
# CPack puts the summary first and indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quorvane keeps a points ledger for AI agents on one Linux machine, for one
user. Agents reach it as an MCP server: their MCP client starts
quorvane-bridge, which relays to the per-user background program
quorvane-host, the owner of the SQLite ledger. The operator uses the desktop
app quorvane to add credits, debits and notes and to watch the agents'
traffic. Nothing leaves the machine.")

include(CPack)
