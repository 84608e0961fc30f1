# A client driver written outside the source tree: the sample driver's source copied into
# a fresh folder with a CMakeLists.txt of its own, built against the installed qorsim
# package and run under `qorsim run` with a scripted program and with the sample program
# built as the writer's own; then a machine whose pool
# fails at the driver's first allocation, under which the driver must fail its load and
# leave nothing behind.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -P external_driver.cmake
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
require_variables(BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/mydrv)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)

file(COPY ${SOURCE_DIR}/examples/acqdrv/acqdrv.c DESTINATION ${WORK_DIR}/mydrv)
file(COPY ${SOURCE_DIR}/examples/scripts/acqdrv_smoke.qs ${SOURCE_DIR}/examples/acqapp/acqapp.c
    ${SOURCE_DIR}/examples/acqapp/acqapp.h ${SOURCE_DIR}/examples/acqapp/main.c DESTINATION ${WORK_DIR}/mydrv)
file(WRITE ${WORK_DIR}/mydrv/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.20)
project(mydrv C)
find_package(qorsim REQUIRED)
qorsim_add_driver(mydrv acqdrv.c)
enable_testing()
qorsim_add_program(myapp main.c acqapp.c)
qorsim_add_test(mydrv_smoke DRIVER mydrv SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/acqdrv_smoke.qs)
qorsim_add_test(mydrv_with_app DRIVER mydrv PROGRAM myapp ARGS \\\\.\\AcqA1 30)
]=])
file(WRITE ${WORK_DIR}/mydrv/no_pool.json [=[
{
  "name": "no pool",
  "cards": [
    { "bus": 0, "device": 3, "vendor_id": "0x10E8", "device_id": "0x5A01", "bridge": "s5933",
      "bars": [ { "io": "0xE000", "length": 64, "model": "bridge" },
                { "io": "0xE040", "length": 32, "model": "registers" },
                { "io": "0xE060", "length": 16, "model": "fpga" } ],
      "interrupt": 10, "fpga": { "complete_after": 16 } }
  ],
  "registry": { "Parameters": { "AI": 64, "AO": 16, "DI": 8, "DO": 8, "FPGA": "acqfpga.bin" } },
  "files": [ { "name": "acqfpga.bin", "size": 16 } ],
  "faults": [ { "kind": "pool", "nth": 1, "every_after": true } ]
}
]=])

run(${CMAKE_COMMAND} -S ${WORK_DIR}/mydrv -B ${WORK_DIR}/mydrv/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/mydrv/build)
# The driver's own CTest entry, as its CI would run it.
run(${CMAKE_CTEST_COMMAND} --test-dir ${WORK_DIR}/mydrv/build --output-on-failure)
message(STATUS "${last_output}")

# Under a machine without pool, the driver's entry fails; the run says so (exit 1) unless
# the failure is expected, and either way nothing may be left behind.
include(${WORK_DIR}/prefix/lib/cmake/qorsim/qorsimConfig.cmake)
set(qorsim ${QORSIM_RUNNER} ${QORSIM_EXECUTABLE} run ${WORK_DIR}/mydrv/no_pool.json --driver
    ${WORK_DIR}/mydrv/build/mydrv.so --no-progress)
execute_process(COMMAND ${qorsim} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 1 OR NOT out MATCHES "FAIL load")
    message(FATAL_ERROR "a failed load went unreported (exit ${result}):\n${out}${err}")
endif()
string(REGEX MATCH "acqdrv 0x[0-9A-F]+" load "${out}")
string(REPLACE "acqdrv " "" status "${load}")
execute_process(COMMAND ${qorsim} --expect-load ${status} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT out MATCHES "0 pool blocks")
    message(FATAL_ERROR "an expected load failure did not pass clean (exit ${result}):\n${out}${err}")
endif()
message(STATUS "${out}")
