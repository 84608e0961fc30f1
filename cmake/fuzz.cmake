# The fuzz build (preset `fuzz`, clang -m32 with ASan and UBSan): the library, the
# simulator and the sample driver under libFuzzer. One CTest entry: a short run with a
# fixed seed from the seed corpus in fuzz/corpus.
add_executable(acqdrv_fuzz ${CMAKE_SOURCE_DIR}/fuzz/acqdrv_fuzz.cpp)
target_compile_options(acqdrv_fuzz PRIVATE ${QOR_WARNINGS})
target_link_options(acqdrv_fuzz PRIVATE -fsanitize=fuzzer)
target_link_libraries(acqdrv_fuzz PRIVATE acqdrv acqapp qorpelk qorsim)

set(QOR_FUZZ_SMOKE_RUNS 200)
enable_testing()
add_test(NAME fuzz_smoke
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz.sh $<TARGET_FILE:acqdrv_fuzz> smoke ${QOR_FUZZ_SMOKE_RUNS})
set_tests_properties(fuzz_smoke PROPERTIES TIMEOUT 300)
