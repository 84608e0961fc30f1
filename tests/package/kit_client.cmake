# The kit's example client driver, built from the installed kit alone as GUIDE.txt's
# section 6 builds a driver (mingw-w64 for the i486, the kit's import library, pe_finish),
# and run as a .sys under `qorsim run` on top of the kit's qorpelk.sys with the kit's
# script: it must load, serve the script and leave nothing behind.
#   cmake -DNT_DIR=... -DWORK_DIR=... -DQORSIM=... -DRUNNER=a,b -DCC=i686-w64-mingw32-gcc
#         -DBUILD_CC=cc -DDDK_INCLUDE=... -P kit_client.cmake
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
require_variables(NT_DIR WORK_DIR QORSIM CC BUILD_CC DDK_INCLUDE)
skip_without_images(${NT_DIR} qorpelk.sys)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(kit ${WORK_DIR}/kit)
run(${CMAKE_COMMAND} --install ${NT_DIR} --prefix ${kit})
run(${CC} -std=c11 -O2 -march=i486 -mtune=pentium -ffreestanding -fno-stack-protector -mno-stack-arg-probe
    -D_X86_=1 -Wall -Wextra -Werror -isystem ${DDK_INCLUDE} -I${kit}/include
    -c ${kit}/example/mydrv.c -o ${WORK_DIR}/mydrv.o)
run(${CC} -shared -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--exclude-all-symbols -o ${WORK_DIR}/mydrv.sys ${WORK_DIR}/mydrv.o
    ${kit}/lib/libqorpelk.a -lntoskrnl -lhal -lgcc)
run(${BUILD_CC} -std=c99 -O2 -o ${WORK_DIR}/pe_finish ${kit}/tools/pe_finish.c)
run(${WORK_DIR}/pe_finish ${WORK_DIR}/mydrv.sys)
string(REPLACE "," ";" runner "${RUNNER}")
run(${runner} ${QORSIM} run default --driver ${WORK_DIR}/mydrv.sys --library ${kit}/drivers/qorpelk.sys
    --program ${kit}/example/mydrv.qs --no-progress)
message("${last_output}")
foreach(expected "load      qorpelk 0x00000000, mydrv 0x00000000" "device    \\Device\\MyA0"
        "every expectation met, nothing left behind")
    string(FIND "${last_output}" "${expected}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "qorsim run did not report \"${expected}\"")
    endif()
endforeach()
