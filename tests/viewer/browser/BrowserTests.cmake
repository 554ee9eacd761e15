# The viewer's page in a real browser: node's test runner drives Debian's
# chromium (software WebGL) through playwright-core from viewer/node_modules.
# Each case skips with its reason where chromium, node or the npm packages are
# missing. One browser at a time: they share the CPU with the rest of the suite.
#
# Included from the tests' CMake where the alignparts-viewer and alignparts-demo
# targets exist. The engine case writes the README's screenshot to
# ${CMAKE_BINARY_DIR}/viewer.png.

find_program(QLALIGNPARTS_NODE node)
if(NOT QLALIGNPARTS_NODE)
    message(STATUS "node not found: the viewer's browser tests are not registered")
    return()
endif()

foreach(case engine pick ui)
    add_test(NAME viewer.browser.${case}
             COMMAND ${QLALIGNPARTS_NODE} --test --test-reporter=tap
                     ${CMAKE_CURRENT_LIST_DIR}/${case}.test.mjs)
    set_tests_properties(viewer.browser.${case} PROPERTIES
        ENVIRONMENT "ALIGNPARTS_VIEWER=$<TARGET_FILE:alignparts-viewer>;ALIGNPARTS_DEMO=$<TARGET_FILE:alignparts-demo>;ALIGNPARTS_SCREENSHOT=${CMAKE_BINARY_DIR}/viewer.png"
        SKIP_REGULAR_EXPRESSION "# SKIP"
        RESOURCE_LOCK chromium
        TIMEOUT 900
        LABELS browser)
endforeach()
