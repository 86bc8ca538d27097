# A short libFuzzer run of every fuzz target (about a minute in all) as part of
# the normal test suite. The script builds its own clang tree, which takes a
# few minutes on two cores.
add_test(NAME fuzz_smoke
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/run-smoke.sh ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/fuzz_smoke)
set_tests_properties(fuzz_smoke PROPERTIES TIMEOUT 2400 PROCESSORS 2 ENVIRONMENT "LANG=C.UTF-8;LC_ALL=C.UTF-8")
