# Runs alignparts-demo the ways the README and its usage text promise:
# without an argument (the sample, writing alignment.svg here), with a file,
# with "-" for standard input, and with a faulty script (status 2).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(expect what status)
    if(NOT result EQUAL ${status})
        message(FATAL_ERROR "${what}: exit status ${result}, expected ${status}\n${out}\n${err}")
    endif()
endfunction()

execute_process(COMMAND ${DEMO} WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("the built-in sample" 0)
if(NOT EXISTS ${WORK}/alignment.svg)
    message(FATAL_ERROR "the built-in sample wrote no alignment.svg")
endif()
file(READ ${EXAMPLES}/sample.expected expected)
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "the built-in sample printed what sample.expected does not hold:\n${out}")
endif()

execute_process(COMMAND ${DEMO} ${EXAMPLES}/modes.script WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("a script file" 0)

execute_process(COMMAND ${DEMO} - INPUT_FILE ${EXAMPLES}/membership.script
                WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("a script on standard input" 0)
file(READ ${EXAMPLES}/membership.expected expected)
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "standard input gave another output than the file")
endif()

file(WRITE ${WORK}/faulty.script "instance a\ninstance a\n")
execute_process(COMMAND ${DEMO} ${WORK}/faulty.script WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("a faulty script" 2)
if(NOT err STREQUAL "line 2: instance: name 'a' is already used (line 1)\n")
    message(FATAL_ERROR "a faulty script said: ${err}")
endif()

execute_process(COMMAND ${DEMO} ${WORK}/missing.script WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("a missing script" 1)
message(STATUS "alignparts-demo: sample, file, standard input and faults as promised")
