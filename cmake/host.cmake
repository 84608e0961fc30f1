# The host build: the library as a static library on the simulator, 32-bit x86 so that
# every record has the layout the NT client drivers compile against.
add_compile_options(-m32)
add_link_options(-m32)

# Some x86-64 kernels are built without 32-bit program support; there the 32-bit test
# programs run under qemu's i386 user-mode emulator instead.
if(NOT DEFINED QOR_I386_RUNNER)
    set(probe_dir ${CMAKE_BINARY_DIR}/i386-probe)
    file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void *) == 4 ? 0 : 1; }\n")
    execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 probe.c -o probe
                    WORKING_DIRECTORY ${probe_dir} RESULT_VARIABLE probe_built)
    if(NOT probe_built EQUAL 0)
        message(FATAL_ERROR "cannot build 32-bit programs: install g++-multilib")
    endif()
    execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE probe_ran
                    OUTPUT_QUIET ERROR_QUIET)
    if(probe_ran EQUAL 0)
        set(runner "")
    else()
        find_program(QOR_QEMU_I386 qemu-i386)
        if(NOT QOR_QEMU_I386)
            message(FATAL_ERROR "this kernel runs no 32-bit programs and qemu-i386 is missing: install qemu-user")
        endif()
        set(runner "${QOR_QEMU_I386};-L;/")
    endif()
    set(QOR_I386_RUNNER "${runner}" CACHE STRING "How 32-bit programs are run (empty: natively)")
endif()
if(QOR_I386_RUNNER)
    message(STATUS "32-bit programs run under: ${QOR_I386_RUNNER}")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QOR_I386_RUNNER})
    add_compile_definitions(QOR_UNDER_EMULATOR)
endif()

if(QOR_FUZZ)
    # Everything carries libFuzzer's coverage hooks and the sanitizers; only the fuzz
    # target links libFuzzer itself.
    set(QOR_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize=vptr
        -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_compile_options(${QOR_SANITIZER_FLAGS} -fsanitize=fuzzer-no-link -Wno-unknown-warning-option)
    add_link_options(${QOR_SANITIZER_FLAGS})
elseif(QOR_SANITIZE)
    set(QOR_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize=vptr
        -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_compile_options(${QOR_SANITIZER_FLAGS})
    add_link_options(${QOR_SANITIZER_FLAGS})
endif()

set(QOR_HOST_NTDDK ${CMAKE_SOURCE_DIR}/platform/host/include)

# The simulated machine. The default machine file is compiled into it, so that the
# program and the tests run without the source tree.
set(QOR_DEFAULT_MACHINE ${CMAKE_SOURCE_DIR}/sim/machines/default.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QOR_DEFAULT_MACHINE})
file(READ ${QOR_DEFAULT_MACHINE} QOR_DEFAULT_MACHINE_JSON)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/default_machine_json.cpp CONTENT
"// Generated from sim/machines/default.json.
namespace qorsim {
const char *default_machine_json()
{
    return R\"qormachine(@QOR_DEFAULT_MACHINE_JSON@)qormachine\";
}
} // namespace qorsim
" @ONLY)
# One folder per thing the simulator stands for: ntoskrnl/ and hal/ (the kernel routines a
# driver imports), win32/ (a program's side), loader/ (PE32 images), machine/ (memory, PCI,
# ports, time, machine files), models/ (the cards) and verifier/ (rules, reports, traces).
set(QOR_SIM_FOLDERS ntoskrnl hal win32 loader machine models verifier)
set(QOR_SIM_SOURCES "")
set(QOR_SIM_INCLUDES ${CMAKE_SOURCE_DIR}/sim)
foreach(folder ${QOR_SIM_FOLDERS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/${folder}/*.cpp)
    list(APPEND QOR_SIM_SOURCES ${found})
    list(APPEND QOR_SIM_INCLUDES ${CMAKE_SOURCE_DIR}/sim/${folder})
endforeach()
add_library(qorsim STATIC ${QOR_SIM_SOURCES} ${CMAKE_BINARY_DIR}/generated/default_machine_json.cpp)
target_include_directories(qorsim PUBLIC ${QOR_SIM_INCLUDES} ${QOR_HOST_NTDDK}
    ${CMAKE_SOURCE_DIR}/interface)
target_compile_options(qorsim PRIVATE ${QOR_WARNINGS})
# Driver images call the kernel with the stack NT guarantees, 4-byte aligned; the
# sanitizers' stack frames need more, so under them every routine that does realigns.
if(QOR_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(qorsim PRIVATE -mincoming-stack-boundary=2)
endif()
find_package(Threads REQUIRED)
target_link_libraries(qorsim PUBLIC Threads::Threads)

# The library, compiled freestanding as on the target.
# The host side of the platform helpers (the probe-and-lock boundary on the simulator).
file(GLOB QOR_HOST_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/host/*.cpp)
add_library(qorpelk STATIC ${QOR_LIBRARY_SOURCES} ${QOR_HOST_PLATFORM_SOURCES})
target_include_directories(qorpelk PUBLIC ${QOR_LIBRARY_INCLUDES} ${QOR_HOST_NTDDK})
target_compile_definitions(qorpelk PRIVATE QOR_BUILDING_LIBRARY)
target_compile_options(qorpelk PRIVATE ${QOR_WARNINGS} ${QOR_FREESTANDING_FLAGS})
target_link_libraries(qorpelk PUBLIC qorsim)

# The sample client driver and user program, built against the simulator.
add_library(acqdrv STATIC ${CMAKE_SOURCE_DIR}/examples/acqdrv/acqdrv.c)
target_include_directories(acqdrv PUBLIC ${CMAKE_SOURCE_DIR}/examples/include ${CMAKE_SOURCE_DIR}/interface
    ${QOR_HOST_NTDDK})
set_target_properties(acqdrv PROPERTIES C_STANDARD 11)
target_compile_options(acqdrv PRIVATE ${QOR_WARNINGS} -Werror)
target_link_libraries(acqdrv PUBLIC qorpelk)
add_library(acqapp STATIC ${CMAKE_SOURCE_DIR}/examples/acqapp/acqapp.c)
target_include_directories(acqapp PUBLIC ${CMAKE_SOURCE_DIR}/examples/include ${CMAKE_SOURCE_DIR}/examples/acqapp
    ${CMAKE_SOURCE_DIR}/interface)
set_target_properties(acqapp PROPERTIES C_STANDARD 11)
target_compile_options(acqapp PRIVATE ${QOR_WARNINGS} -Werror)
target_link_libraries(acqapp PUBLIC qorsim)

find_package(nlohmann_json 3.10 REQUIRED)
target_link_libraries(qorsim PUBLIC nlohmann_json::nlohmann_json)

if(QOR_FUZZ)
    include(${CMAKE_SOURCE_DIR}/cmake/fuzz.cmake)
    return()
endif()

# The command line: its parts in a library the tests link too, and the program. The program
# carries every kernel, HAL, Win32 and library function and exports them, so that a client
# driver or user program built as a shared object (cmake/qorsimConfig.cmake) links against
# nothing and finds them in the program when it is loaded.
find_package(CLI11 REQUIRED)
file(GLOB QOR_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*.cpp)
list(REMOVE_ITEM QOR_TOOL_SOURCES ${CMAKE_SOURCE_DIR}/tools/main.cpp)
add_library(qorsim-tool STATIC ${QOR_TOOL_SOURCES})
target_include_directories(qorsim-tool PUBLIC ${CMAKE_SOURCE_DIR}/tools)
set(QOR_NT_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/nt CACHE PATH
    "The nt build whose qorpelk.sys and acqdrv.sys the _images tests and `qorsim demo --images` load")
target_compile_definitions(qorsim-tool PRIVATE QOR_SOURCE_MACHINES="${CMAKE_SOURCE_DIR}/sim/machines"
    QOR_DEFAULT_IMAGE_DIR="${QOR_NT_BUILD_DIR}")
target_compile_options(qorsim-tool PRIVATE ${QOR_WARNINGS})
target_link_libraries(qorsim-tool PUBLIC acqdrv acqapp qorpelk qorsim ${CMAKE_DL_LIBS})
add_executable(qorsim-cli ${CMAKE_SOURCE_DIR}/tools/main.cpp)
set_target_properties(qorsim-cli PROPERTIES OUTPUT_NAME qorsim ENABLE_EXPORTS ON)
target_compile_options(qorsim-cli PRIVATE ${QOR_WARNINGS})
target_link_libraries(qorsim-cli PRIVATE qorsim-tool CLI11::CLI11)
target_link_options(qorsim-cli PRIVATE LINKER:--whole-archive $<TARGET_FILE:qorpelk> $<TARGET_FILE:qorsim>
    LINKER:--no-whole-archive)

# `cmake --install build/host --prefix DIR`: the program, the shipped machines, the headers
# a client driver and a user program compile against, and the CMake package
# (find_package(qorsim) with qorsim_add_driver, qorsim_add_program and qorsim_add_test).
include(GNUInstallDirs)
install(TARGETS qorsim-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
file(GLOB QOR_SHIPPED_MACHINES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/machines/*.json)
install(FILES ${QOR_SHIPPED_MACHINES} DESTINATION ${CMAKE_INSTALL_DATADIR}/qorsim/machines)
install(FILES ${CMAKE_SOURCE_DIR}/interface/qorpelk.h ${CMAKE_SOURCE_DIR}/interface/qorpelk_requests.h
    ${CMAKE_SOURCE_DIR}/interface/qor_s5933.h ${CMAKE_SOURCE_DIR}/interface/qor_plx9050.h
    ${CMAKE_SOURCE_DIR}/interface/qor_plx9080.h
    ${QOR_HOST_NTDDK}/ntddk.h
    ${CMAKE_SOURCE_DIR}/examples/include/qorwin32.h ${CMAKE_SOURCE_DIR}/examples/include/acqdrv_ioctl.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorsim)
configure_file(${CMAKE_SOURCE_DIR}/cmake/qorsimConfig.cmake.in ${CMAKE_BINARY_DIR}/qorsimConfig.cmake @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qorsimConfig.cmake DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qorsim)
# The script grammar and the first-driver guide, beside the shipped machines.
install(FILES ${CMAKE_SOURCE_DIR}/kit/SCRIPTS.txt ${CMAKE_SOURCE_DIR}/kit/GUIDE.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/qorsim)

# GoogleTest from Debian's source package, built for -m32 like everything else.
set(QOR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${QOR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)
file(GLOB QOR_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_executable(qor_tests ${QOR_TEST_SOURCES}
    ${CMAKE_SOURCE_DIR}/tests/interface/c99_client.c
    ${CMAKE_SOURCE_DIR}/tests/interface/cxx_client.cpp)
target_include_directories(qor_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(qor_tests PRIVATE ${QOR_WARNINGS}
    $<$<COMPILE_LANGUAGE:C>:-std=c99 -pedantic-errors -Werror>)
target_link_libraries(qor_tests PRIVATE qorsim-tool acqdrv acqapp qorpelk qorsim GTest::gtest)
# One CTest entry per test suite: each entry is one process (under qemu-i386 a process
# start costs far more than most tests), while `ctest -R Suite` still selects. The suites
# are read from the test sources, which re-run the configuration when they change.
set(qor_suites "")
foreach(source ${QOR_TEST_SOURCES})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} text)
    string(REGEX MATCHALL "(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\\([ \t\r\n]*[A-Za-z0-9_]+" found "${text}")
    foreach(match ${found})
        string(REGEX REPLACE ".*\\([ \t\r\n]*" "" suite "${match}")
        list(APPEND qor_suites ${suite})
    endforeach()
endforeach()
list(REMOVE_DUPLICATES qor_suites)
list(SORT qor_suites)
foreach(suite ${qor_suites})
    add_test(NAME ${suite} COMMAND qor_tests --gtest_filter=${suite}.*:*/${suite}.*)
endforeach()
# Where 32-bit programs run natively, the suites run once more under qemu-i386 (entries
# named Suite_qemu, label qemu): the simulator's memory map must not depend on which of
# the two runs the program. `ctest -LE qemu` leaves them out, `-L qemu` runs only them.
option(QOR_QEMU_SECOND_RUN "Run the host suites under qemu-i386 too where they run natively" ON)
if(NOT QOR_I386_RUNNER AND QOR_QEMU_SECOND_RUN AND NOT QOR_SANITIZE)
    find_program(QOR_QEMU_I386 qemu-i386)
    if(NOT QOR_QEMU_I386)
        message(FATAL_ERROR "qemu-i386 is missing for the second run of the suites: install qemu-user")
    endif()
    # The emulated processor lacks AVX2, so the card model's and the sample program's
    # word-at-a-time loops run here while their vector loops run natively.
    set(QOR_QEMU_NO_AVX2 -cpu max,-avx2)
    foreach(suite ${qor_suites})
        add_test(NAME ${suite}_qemu COMMAND ${QOR_QEMU_I386} ${QOR_QEMU_NO_AVX2} -L / $<TARGET_FILE:qor_tests>
            --gtest_filter=${suite}.*:*/${suite}.*)
        set_tests_properties(${suite}_qemu PROPERTIES LABELS qemu)
    endforeach()
endif()
# Every test the program holds must belong to a registered suite.
string(REPLACE ";" "," qor_suite_list "${qor_suites}")
string(REPLACE ";" "," qor_runner_list "${QOR_I386_RUNNER}")
add_test(NAME test_suites_registered
    COMMAND ${CMAKE_COMMAND} -DRUNNER=${qor_runner_list} -DPROGRAM=$<TARGET_FILE:qor_tests>
        -DSUITES=${qor_suite_list} -P ${CMAKE_SOURCE_DIR}/cmake/check-suites.cmake)

# The calling convention at the kernel boundary: the decorated names of mingw-w64's
# ntoskrnl.exe and HAL.dll import libraries (`_Name@N`, `@Name@N`), against which the
# KernelExports tests check that every routine of the simulator's export table pops what
# NT's pops.
find_program(QOR_MINGW_NM i686-w64-mingw32-nm)
find_file(QOR_DDK_NTOSKRNL_LIB libntoskrnl.a PATHS /usr/i686-w64-mingw32/lib NO_DEFAULT_PATH)
find_file(QOR_DDK_HAL_LIB libhal.a PATHS /usr/i686-w64-mingw32/lib NO_DEFAULT_PATH)
set(QOR_DDK_SYMBOLS ${CMAKE_BINARY_DIR}/generated/ddk-symbols)
file(MAKE_DIRECTORY ${QOR_DDK_SYMBOLS})
if(QOR_MINGW_NM AND QOR_DDK_NTOSKRNL_LIB AND QOR_DDK_HAL_LIB)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QOR_DDK_NTOSKRNL_LIB} ${QOR_DDK_HAL_LIB})
    execute_process(COMMAND ${QOR_MINGW_NM} -g ${QOR_DDK_NTOSKRNL_LIB} OUTPUT_FILE ${QOR_DDK_SYMBOLS}/ntoskrnl.exe.nm
                    ERROR_QUIET)
    execute_process(COMMAND ${QOR_MINGW_NM} -g ${QOR_DDK_HAL_LIB} OUTPUT_FILE ${QOR_DDK_SYMBOLS}/HAL.dll.nm
                    ERROR_QUIET)
endif()
target_compile_definitions(qor_tests PRIVATE QOR_DDK_SYMBOLS="${QOR_DDK_SYMBOLS}" QOR_NT_IMAGE_DIR="${QOR_NT_BUILD_DIR}")

# The shipped images under test: a second test program that loads the nt build's
# qorpelk.sys and acqdrv.sys into the simulator (sim/loader/) and runs its suites against
# them, one CTest entry per suite named <Suite>_images. Without the images the tests are
# skipped, unless QOR_REQUIRE_IMAGES is set in the environment (make test sets it).
# The library's exported names, as the interface headers declare them (QORCALL), each a
# forwarder into the loaded image: `push index; jmp common`, where the common part asks
# qor_library_forwarder_target for the routine and jumps to it with the caller's stack
# untouched, so the stdcall routine returns straight to the caller.
file(GLOB QOR_INTERFACE_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/interface/*.h)
set(qor_exported "")
foreach(header ${QOR_INTERFACE_HEADERS})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
    file(READ ${header} text)
    string(REGEX MATCHALL "QORCALL[ \t\r\n]+[A-Za-z0-9_]+[ \t]*\\(" found "${text}")
    foreach(match ${found})
        string(REGEX REPLACE "QORCALL[ \t\r\n]+([A-Za-z0-9_]+).*" "\\1" name "${match}")
        list(APPEND qor_exported ${name})
    endforeach()
endforeach()
list(FILTER qor_exported EXCLUDE REGEX "^__") # the definition of QORCALL itself
list(REMOVE_DUPLICATES qor_exported)
list(SORT qor_exported)
list(LENGTH qor_exported qor_exported_count)
set(qor_names "")
set(qor_thunks "")
set(index 0)
foreach(name ${qor_exported})
    string(APPEND qor_names "    \"${name}\",\n")
    string(APPEND qor_thunks "    .globl ${name}\n    .type ${name}, @function\n${name}:\n    pushl $${index}\n    jmp qor_library_forwarder_common\n")
    math(EXPR index "${index} + 1")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/library_forwarders.cpp CONTENT
"// Generated from the interface headers by cmake/host.cmake: the library's ${qor_exported_count} exported
// names as forwarders into the loaded qorpelk.sys (tests/images/library_forwarders.cpp).
extern \"C\" const char *const qor_library_forwarder_names[] = {
${qor_names}};
extern \"C\" const unsigned qor_library_forwarder_count = ${qor_exported_count};
asm(R\"(
    .text
    .p2align 4
${qor_thunks}
qor_library_forwarder_common:
    pushal
    pushl 32(%esp)
    call qor_library_forwarder_target
    addl $4, %esp
    movl %eax, 32(%esp)
    popal
    ret
)\");
" @ONLY)
set(QOR_IMAGE_SUITE_SOURCES ${CMAKE_SOURCE_DIR}/tests/sample_driver_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/sample_driver_rules_test.cpp ${CMAKE_SOURCE_DIR}/tests/virtual_time_test.cpp)
file(GLOB QOR_IMAGE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/images/*_test.cpp)
list(APPEND QOR_IMAGE_TEST_SOURCES ${QOR_IMAGE_SUITE_SOURCES})
add_executable(qor_image_tests ${QOR_IMAGE_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/tests/images/library_forwarders.cpp
    ${CMAKE_BINARY_DIR}/generated/library_forwarders.cpp ${CMAKE_SOURCE_DIR}/tests/support/sanitizer_options.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/user_stack_main.cpp)
target_include_directories(qor_image_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/examples/include
    ${CMAKE_SOURCE_DIR}/frame ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(qor_image_tests PRIVATE QOR_TEST_IMAGES QOR_NT_IMAGE_DIR="${QOR_NT_BUILD_DIR}")
target_compile_options(qor_image_tests PRIVATE ${QOR_WARNINGS})
target_link_libraries(qor_image_tests PRIVATE acqapp qorsim GTest::gtest)
set(qor_image_suites "")
foreach(source ${QOR_IMAGE_TEST_SOURCES})
    file(READ ${source} text)
    string(REGEX MATCHALL "TEST(_F|_P)?\\([ \t\r\n]*[A-Za-z0-9_]+" found "${text}")
    foreach(match ${found})
        string(REGEX REPLACE ".*\\([ \t\r\n]*" "" suite "${match}")
        list(APPEND qor_image_suites ${suite})
    endforeach()
endforeach()
list(REMOVE_DUPLICATES qor_image_suites)
foreach(suite ${qor_image_suites})
    add_test(NAME ${suite}_images COMMAND qor_image_tests --gtest_filter=${suite}.*)
    # Once more under qemu-i386 where the kernel runs them natively: its segment and
    # signal handling (fs through the LDT, the INIT fault) are the emulator's own.
    if(NOT QOR_I386_RUNNER AND QOR_QEMU_SECOND_RUN AND NOT QOR_SANITIZE)
        add_test(NAME ${suite}_qemu_images COMMAND ${QOR_QEMU_I386} ${QOR_QEMU_NO_AVX2} -L / $<TARGET_FILE:qor_image_tests>
            --gtest_filter=${suite}.*)
        set_tests_properties(${suite}_qemu_images PROPERTIES LABELS qemu)
    endif()
endforeach()

# The kit's example client driver built from the nt build's kit alone and run as a .sys
# under `qorsim run` (skipped without the nt build, unless QOR_REQUIRE_IMAGES is set).
find_program(QOR_MINGW_GCC i686-w64-mingw32-gcc)
find_program(QOR_KIT_BUILD_CC NAMES cc gcc) # for the kit's pe_finish
if(QOR_MINGW_GCC AND QOR_KIT_BUILD_CC AND NOT QOR_SANITIZE)
    add_test(NAME kit_client_images
        COMMAND ${CMAKE_COMMAND} -DNT_DIR=${QOR_NT_BUILD_DIR} -DWORK_DIR=${CMAKE_BINARY_DIR}/kit-client
            -DQORSIM=$<TARGET_FILE:qorsim-cli> -DRUNNER=${qor_runner_list} -DCC=${QOR_MINGW_GCC}
            -DBUILD_CC=${QOR_KIT_BUILD_CC}
            -DDDK_INCLUDE=/usr/i686-w64-mingw32/include/ddk
            -P ${CMAKE_SOURCE_DIR}/tests/package/kit_client.cmake)
    set_tests_properties(kit_client_images PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED: no nt build")
endif()

# `qorsim demo --images` gives the host-compiled demo's report.
if(NOT QOR_SANITIZE)
    add_test(NAME demo_images
        COMMAND ${CMAKE_COMMAND} -DQORSIM=$<TARGET_FILE:qorsim-cli> -DRUNNER=${qor_runner_list}
            -DNT_DIR=${QOR_NT_BUILD_DIR} -P ${CMAKE_SOURCE_DIR}/tests/package/demo_images.cmake)
    set_tests_properties(demo_images PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED: no nt build")
endif()

# A client driver from outside the tree, built with the installed package and run by the
# installed program. Registered in the plain host build only: under the sanitizer build the
# installed program did not finish this scenario (see the README's qorsim section).
if(NOT QOR_SANITIZE)
    add_test(NAME qorsim_external_driver
        COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
            -DWORK_DIR=${CMAKE_BINARY_DIR}/external-driver -DGENERATOR=${CMAKE_GENERATOR}
            -P ${CMAKE_SOURCE_DIR}/tests/package/external_driver.cmake)
    set_tests_properties(qorsim_external_driver PROPERTIES TIMEOUT 300)
endif()

# The library must not need a runtime: no dynamic initialisers, no exception or RTTI
# symbols, no operator new. Checked on the host archive, which holds the same code.
add_test(NAME library_is_freestanding
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-freestanding.sh $<TARGET_FILE:qorpelk>)

# Benchmarks: built with the host build, run by hand (not by the tests).
file(GLOB QOR_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
# The acquisition benchmark is a program of its own: it runs the sample driver and program.
list(REMOVE_ITEM QOR_BENCH_SOURCES ${CMAKE_SOURCE_DIR}/bench/acquisition_bench.cpp)
add_executable(qor_acquisition_bench ${CMAKE_SOURCE_DIR}/bench/acquisition_bench.cpp)
target_compile_options(qor_acquisition_bench PRIVATE ${QOR_WARNINGS})
target_link_libraries(qor_acquisition_bench PRIVATE acqdrv acqapp qorpelk qorsim)
if(QOR_BENCH_SOURCES)
    add_executable(qor_bench ${QOR_BENCH_SOURCES})
    target_include_directories(qor_bench PRIVATE ${CMAKE_SOURCE_DIR}/bench ${CMAKE_SOURCE_DIR}/frame ${CMAKE_SOURCE_DIR}/chips)
    target_compile_options(qor_bench PRIVATE ${QOR_WARNINGS})
    target_link_libraries(qor_bench PRIVATE qorpelk qorsim)
endif()

# The instruction-counting qemu plugin the benchmarks run under: a shared object for the
# machine qemu runs on (not -m32), built by `make bench` only.
find_program(QOR_PLUGIN_CC NAMES cc gcc)
if(QOR_PLUGIN_CC)
    set(qor_icount_so ${CMAKE_BINARY_DIR}/qor_icount.so)
    add_custom_command(OUTPUT ${qor_icount_so}
        COMMAND ${QOR_PLUGIN_CC} -O2 -Wall -Wextra -Werror -shared -fPIC -fvisibility=hidden
            -o ${qor_icount_so} ${CMAKE_SOURCE_DIR}/bench/icount/qor_icount.c
        DEPENDS ${CMAKE_SOURCE_DIR}/bench/icount/qor_icount.c ${CMAKE_SOURCE_DIR}/bench/icount/icount_markers.h
        COMMENT "qemu plugin qor_icount.so")
    add_custom_target(qor_icount DEPENDS ${qor_icount_so})
endif()
