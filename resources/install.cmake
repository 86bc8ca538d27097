# The program lives in a directory of its own with its default settings and the
# open-source notice beside it (both are found relative to the executable); bin/
# holds a symbolic link to it, which is enough because the program's directory is
# taken from the resolved executable path.
include(GNUInstallDirs)

set(korvel_program_dir ${CMAKE_INSTALL_LIBDIR}/korvel-recorder)

install(TARGETS korvel-recorder RUNTIME DESTINATION ${korvel_program_dir})
install(FILES ${PROJECT_SOURCE_DIR}/config/current-settings.xml DESTINATION ${korvel_program_dir}/config)
install(FILES ${PROJECT_SOURCE_DIR}/license/OSTRA_OSD.pdf DESTINATION ${korvel_program_dir}/license)

# A relative link keeps working under any prefix and inside the package.
file(RELATIVE_PATH korvel_link_target ${CMAKE_INSTALL_FULL_BINDIR}
    ${CMAKE_INSTALL_FULL_LIBDIR}/korvel-recorder/korvel-recorder)
set(korvel_link ${CMAKE_CURRENT_BINARY_DIR}/install-bin/korvel-recorder)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/install-bin)
file(CREATE_LINK ${korvel_link_target} ${korvel_link} SYMBOLIC)
install(FILES ${korvel_link} DESTINATION ${CMAKE_INSTALL_BINDIR})

if(KORVEL_GUI)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/korvel-recorder.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(DIRECTORY ${korvel_icon_dir} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/korvel_recorder.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME korvel-recorder.svg)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvel-recorder)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Recorder and player for the UDP output of an optical tracking controller")
set(CPACK_PACKAGE_DESCRIPTION
    "Records the ASCII UDP stream of an optical tracking controller to files, previews it live with its receive rate, and plays recordings back to one or two UDP destinations.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Korvel Recorder maintainers <maintainers@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(KORVEL_GUI)
    # The SVG icon engine is a plugin the program never links, so the library scan cannot see it.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
