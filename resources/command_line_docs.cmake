# The command line's manual page, written from its --help texts by help2man, and
# its bash completion; both are installed and packaged. Without help2man the
# program still builds, without the page.
include(GNUInstallDirs)

find_program(KORVEL_HELP2MAN help2man)
if(KORVEL_HELP2MAN)
    set(korvel_man_page ${CMAKE_CURRENT_BINARY_DIR}/korvel-recorder.1)
    add_custom_command(OUTPUT ${korvel_man_page} ${korvel_man_page}.gz
        COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/man_page.sh $<TARGET_FILE:korvel-recorder> ${KORVEL_HELP2MAN} ${korvel_man_page}
        COMMAND gzip -9nkf ${korvel_man_page}
        DEPENDS korvel-recorder ${CMAKE_CURRENT_LIST_DIR}/man_page.sh
        COMMENT "Writing the manual page korvel-recorder.1"
        VERBATIM)
    add_custom_target(korvel_man_page ALL DEPENDS ${korvel_man_page})
    install(FILES ${korvel_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(WARNING "help2man not found: the manual page korvel-recorder.1 is not written (apt-get install help2man)")
endif()

set(korvel_completion ${CMAKE_CURRENT_LIST_DIR}/korvel-recorder.bash)
install(FILES ${korvel_completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME korvel-recorder)
