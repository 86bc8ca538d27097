# The real program on a private X server, driven like a user drives it.
# Needs the packages xvfb, xdotool and imagemagick; skipped without them.
add_test(NAME e2e_desktop
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e_desktop.sh
        $<TARGET_FILE:korvel-recorder> $<TARGET_FILE:korvel-send> $<TARGET_FILE:korvel-recv>
        ${CMAKE_CURRENT_BINARY_DIR}/e2e-output $<TARGET_FILE:korvel-render-icon>)
set_tests_properties(e2e_desktop PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
    ENVIRONMENT "LANG=C.UTF-8;LC_ALL=C.UTF-8")
