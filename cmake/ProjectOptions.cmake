# Warnings and sanitizers, applied to the project's own targets only.
function(qlalignparts_set_options target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wold-style-cast -Werror=return-type
            $<$<CXX_COMPILER_ID:GNU>:-Wsuggest-override>
            $<$<CXX_COMPILER_ID:Clang>:-Winconsistent-missing-override>)
        # Outside release builds the standard containers check their indices:
        # an index past the end stops the program where it happens instead of
        # reading whatever lies behind the vector.
        target_compile_definitions(${target} PRIVATE
            $<$<NOT:$<CONFIG:Release>>:_GLIBCXX_ASSERTIONS>)
        if(QLALIGNPARTS_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
endfunction()

if(QLALIGNPARTS_SANITIZERS)
    list(JOIN QLALIGNPARTS_SANITIZERS "," _qlalignparts_sanitizers)
    add_compile_options(-fsanitize=${_qlalignparts_sanitizers} -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_qlalignparts_sanitizers})
endif()
