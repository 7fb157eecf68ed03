# Installation layout and the Debian packages.
#
#   <prefix>/lib/quorvane/quorvane, quorvane-host, quorvane-bridge, quorvanectl
#       The programs live in one folder: the bridge starts `quorvane` (or,
#       without the app, `quorvanectl`) beside itself, and both register the
#       `quorvane-host` beside themselves.
#   <prefix>/bin/quorvane, <prefix>/bin/quorvane-bridge, <prefix>/bin/quorvanectl
#       Relative symbolic links into lib/quorvane. The programs resolve their
#       own executable through /proc/self/exe, so a link finds the real folder.
#   <prefix>/share/man/man1/quorvanectl.1
#   <prefix>/share/bash-completion/completions/quorvanectl
#   <prefix>/share/applications/com.zentrafell.quorvane.desktop
#   <prefix>/share/icons/hicolor/{scalable,48x48,128x128,256x256}/apps/com.zentrafell.quorvane.*
#   <prefix>/share/doc/quorvane/OPERATOR.md
#
# Two install components, one Debian package each:
#   headless  quorvane-headless: host, bridge, quorvanectl (with its manual page
#             and completion), the operator's guide, and what other folders
#             install without naming a component (quorvane-sandbox). No Qt.
#   desktop   quorvane: the app, its desktop entry and icons; depends on
#             quorvane-headless of the same version.
#
# `cmake --install <build> --prefix <dir>` lays both out; `cpack -G DEB` in the
# build folder makes the two packages (prefix /usr).

set(QUORVANE_PROGRAM_DIR "lib/quorvane")
set(_quorvane_packaging "${PROJECT_SOURCE_DIR}/packaging")

foreach(_program quorvane-host quorvane-bridge quorvanectl)
    if(TARGET ${_program})
        install(TARGETS ${_program} RUNTIME DESTINATION ${QUORVANE_PROGRAM_DIR} COMPONENT headless)
    endif()
endforeach()
if(TARGET quorvane)
    install(TARGETS quorvane RUNTIME DESTINATION ${QUORVANE_PROGRAM_DIR} COMPONENT desktop)
endif()

# The links are made in the build tree and installed as links.
set(_quorvane_links "${CMAKE_BINARY_DIR}/packaging/bin")
file(MAKE_DIRECTORY "${_quorvane_links}")
foreach(_program quorvane quorvane-bridge quorvanectl)
    if(TARGET ${_program})
        file(CREATE_LINK "../${QUORVANE_PROGRAM_DIR}/${_program}" "${_quorvane_links}/${_program}" SYMBOLIC)
        if(_program STREQUAL "quorvane")
            set(_component desktop)
        else()
            set(_component headless)
        endif()
        install(FILES "${_quorvane_links}/${_program}" DESTINATION bin COMPONENT ${_component})
    endif()
endforeach()

if(QUORVANE_CTL_MAN_PAGE)
    install(FILES "${QUORVANE_CTL_MAN_PAGE}" DESTINATION share/man/man1 COMPONENT headless)
endif()
install(FILES "${PROJECT_SOURCE_DIR}/ctl/quorvanectl.bash" DESTINATION share/bash-completion/completions
        RENAME quorvanectl COMPONENT headless)
install(FILES "${PROJECT_SOURCE_DIR}/docs/OPERATOR.md" DESTINATION share/doc/quorvane COMPONENT headless)

install(FILES "${_quorvane_packaging}/com.zentrafell.quorvane.desktop" DESTINATION share/applications
        COMPONENT desktop)
install(FILES "${_quorvane_packaging}/icons/com.zentrafell.quorvane.svg"
        DESTINATION share/icons/hicolor/scalable/apps COMPONENT desktop)
foreach(_size 48 128 256)
    install(FILES "${_quorvane_packaging}/icons/com.zentrafell.quorvane-${_size}.png"
            DESTINATION share/icons/hicolor/${_size}x${_size}/apps
            RENAME com.zentrafell.quorvane.png COMPONENT desktop)
endforeach()

# ---- Debian package ----------------------------------------------------------------

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quorvane")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_HEADLESS_PACKAGE_NAME "quorvane-headless")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME "quorvane")
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
set(_quorvane_full_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "quorvane-headless (= ${_quorvane_full_version})")
if(QUORVANE_BUILD_APP)
    string(APPEND CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS ", qt6-qpa-plugins")
    # Emoji in agents' names and memos render as pictures, not boxes.
    set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "qt6-wayland, fonts-noto-color-emoji")
endif()
# quorvane-sandbox confines agents with bubblewrap.
set(CPACK_DEBIAN_HEADLESS_PACKAGE_RECOMMENDS "bubblewrap")
# CPack puts the summary first and indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quorvane keeps a points ledger for AI agents on one Linux machine, for one
user. Agents reach it as an MCP server: their MCP client starts
quorvane-bridge, which relays to the per-user background program
quorvane-host, the owner of the SQLite ledger. The operator uses the desktop
app quorvane to add credits, debits and notes and to watch the agents'
traffic. Nothing leaves the machine.")

set(CPACK_DEBIAN_HEADLESS_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY} (headless programs)
${CPACK_DEBIAN_PACKAGE_DESCRIPTION}
This package holds the programs without a display: the host, the bridge and
quorvanectl, the operator's command-line tool. It needs no Qt.")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY} (desktop app)
${CPACK_DEBIAN_PACKAGE_DESCRIPTION}
This package holds the desktop app; the other programs come with
quorvane-headless.")

include(CPack)
cpack_add_component(headless GROUP headless)
cpack_add_component(desktop GROUP desktop)
# Whatever is installed without a component goes with the headless programs.
cpack_add_component(Unspecified GROUP headless)
