# `qorsim demo --images` against `qorsim demo`: the shipped qorpelk.sys and acqdrv.sys must
# give the host-compiled run's report line for line, all but the host's own speed. The
# images' run spreads its threads over every host core (`--all-cores`), the host run keeps
# them on one: the report depends on neither.
#   cmake -DQORSIM=... -DRUNNER=a,b -DNT_DIR=... -P demo_images.cmake
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
require_variables(QORSIM NT_DIR)
skip_without_images(${NT_DIR} qorpelk.sys acqdrv.sys)
string(REPLACE "," ";" runner "${RUNNER}")
foreach(run host images)
    set(args demo --halves 60 --no-progress)
    if(run STREQUAL images)
        list(APPEND args --images ${NT_DIR} --all-cores)
    endif()
    execute_process(COMMAND ${runner} ${QORSIM} ${args} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "qorsim ${args} failed (${result}):\n${out}\n${err}")
    endif()
    string(REGEX REPLACE "\nhost [^\n]*" "" out "${out}") # the host's speed differs by run
    set(report_${run} "${out}")
endforeach()
if(NOT report_host STREQUAL report_images)
    message(FATAL_ERROR "the images' report differs from the host build's:\n--- host\n${report_host}\n--- images\n${report_images}")
endif()
message("${report_images}")
