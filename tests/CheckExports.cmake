# Fails when the shared library exports a symbol that is not one of its own
# qlalignparts:: classes' (typeinfo, vtables and members of the two exported
# classes all carry the namespace).
execute_process(COMMAND nm -D --defined-only -C ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(foreign "")
set(own 0)
foreach(line IN LISTS lines)
    if(line STREQUAL "")
        continue()
    endif()
    if(line MATCHES "qlalignparts::")
        math(EXPR own "${own} + 1")
    elseif(line MATCHES "__odr_asan\\._ZN12qlalignparts")
        # AddressSanitizer's one-definition-rule markers for our own exported
        # statics: instrumentation, not interface.
        continue()
    else()
        list(APPEND foreign "${line}")
    endif()
endforeach()
if(foreign)
    list(JOIN foreign "\n" text)
    message(FATAL_ERROR "symbols exported beyond qlalignparts:: ones:\n${text}")
endif()
if(own EQUAL 0)
    message(FATAL_ERROR "no qlalignparts:: symbol exported")
endif()
message(STATUS "${own} qlalignparts:: symbols exported, nothing else")
