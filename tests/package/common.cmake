# Shared by the package tests' scripts: the variables a script needs, and a command that
# must succeed (its output is kept in last_output).
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
