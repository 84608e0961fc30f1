# Shared by the package tests' scripts: the variables a script needs, a command that
# must succeed (its output is kept in last_output), and the skip without the nt build.
function(require_variables)
    foreach(v ${ARGN})
        if(NOT DEFINED ${v})
            message(FATAL_ERROR "${v} is not set")
        endif()
    endforeach()
endfunction()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
    endif()
    set(last_output "${out}${err}" PARENT_SCOPE)
endfunction()

# Ends the calling script with SKIPPED when one of the nt build's files is missing, or fails
# it when QOR_REQUIRE_IMAGES is set (a macro, so that its return() ends the script).
macro(skip_without_images dir)
    foreach(image ${ARGN})
        if(NOT EXISTS ${dir}/${image})
            if(DEFINED ENV{QOR_REQUIRE_IMAGES})
                message(FATAL_ERROR "no ${image} in ${dir}: build the nt preset first")
            endif()
            message("SKIPPED: no nt build in ${dir} (build the nt preset)")
            return()
        endif()
    endforeach()
endmacro()
