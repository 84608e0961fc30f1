# The NT target: qorpelk.sys, a native-subsystem export driver that imports only from
# ntoskrnl.exe and HAL.dll, with its import library and .def.
find_program(QOR_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
find_program(QOR_NM NAMES i686-w64-mingw32-nm REQUIRED)
find_program(QOR_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
find_program(QOR_WINDRES NAMES i686-w64-mingw32-windres REQUIRED)
# A C compiler for the build machine itself, for pe_finish.
find_program(QOR_BUILD_CC NAMES cc gcc REQUIRED)

# NT 4 runs on i486 and Pentium processors: the kernel images may use no instruction of
# the Pentium Pro or later (CMOV, FCOMI, the long NOPs, MMX, SSE). The compiler's default
# for this target is the Pentium Pro.
set(QOR_NT_ARCH_FLAGS -march=i486 -mtune=pentium)

set(QOR_NT_COMPILE_FLAGS ${QOR_FREESTANDING_FLAGS} -ffreestanding -fno-stack-protector
    -mno-stack-arg-probe -fno-strict-aliasing -O2 ${QOR_NT_ARCH_FLAGS})

# pe_finish, run after each kernel image is linked: marks the INIT section discardable and
# writes the image checksum.
set(QOR_PE_FINISH ${CMAKE_BINARY_DIR}/pe_finish)
add_custom_command(OUTPUT ${QOR_PE_FINISH}
    COMMAND ${QOR_BUILD_CC} -std=c99 -O2 -Wall -Wextra -Werror -o ${QOR_PE_FINISH}
            ${CMAKE_SOURCE_DIR}/tools/pe_finish.c
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/pe_finish.c
    COMMENT "pe_finish for the build machine")
add_custom_target(qor_pe_finish DEPENDS ${QOR_PE_FINISH})

# An NT image's version resource (cmake/version.rc.in) and instruction set, and for a
# driver the finishing step after the link. file: the image's file name; description: its
# FileDescription; filetype/subtype: the VERSIONINFO file type (3/7: a system driver,
# 1/0: a program).
function(qor_nt_image target file description filetype subtype)
    set(QOR_RC_FILE ${file})
    set(QOR_RC_DESCRIPTION ${description})
    set(QOR_RC_FILETYPE ${filetype})
    set(QOR_RC_FILESUBTYPE ${subtype})
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/${target}_version.rc @ONLY)
    set(object ${CMAKE_BINARY_DIR}/${target}_version.o)
    add_custom_command(OUTPUT ${object}
        COMMAND ${QOR_WINDRES} -O coff -i ${CMAKE_BINARY_DIR}/${target}_version.rc -o ${object}
        DEPENDS ${CMAKE_BINARY_DIR}/${target}_version.rc
        COMMENT "version resource of ${file}")
    set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    target_sources(${target} PRIVATE ${object})
    target_compile_options(${target} PRIVATE ${QOR_NT_ARCH_FLAGS})
    if(filetype EQUAL 3)
        add_dependencies(${target} qor_pe_finish)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${QOR_PE_FINISH} $<TARGET_FILE:${target}>
            COMMENT "INIT section and checksum of ${file}")
    endif()
endfunction()

# The platform helpers that need the real kernel (the probe-and-lock exception frame).
file(GLOB QOR_NT_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/nt/*.cpp)
add_library(qorpelk SHARED ${QOR_LIBRARY_SOURCES} ${QOR_NT_PLATFORM_SOURCES})
target_include_directories(qorpelk PRIVATE ${QOR_LIBRARY_INCLUDES})
target_include_directories(qorpelk SYSTEM PRIVATE ${QOR_DDK_INCLUDE})
target_compile_definitions(qorpelk PRIVATE QOR_BUILDING_LIBRARY _X86_=1)
target_compile_options(qorpelk PRIVATE ${QOR_WARNINGS} ${QOR_NT_COMPILE_FLAGS})
set_target_properties(qorpelk PROPERTIES
    PREFIX "" SUFFIX ".sys"
    IMPORT_PREFIX "lib" IMPORT_SUFFIX ".link.a")
# Exports keep their undecorated names, as the kernel's own do; the import library maps
# the stdcall-decorated symbols the clients reference (_QorOpenDevice@4) onto them.
target_link_options(qorpelk PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--kill-at
    -Wl,--output-def,${CMAKE_BINARY_DIR}/qorpelk.link.def
    -Wl,--no-insert-timestamp)
target_link_libraries(qorpelk PRIVATE ntoskrnl hal gcc)
qor_nt_image(qorpelk qorpelk.sys "QOR data-acquisition support library (export driver)" 3 7)
set(QOR_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/libqorpelk.a)
add_custom_command(TARGET qorpelk POST_BUILD
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/make-import-lib.sh ${QOR_DLLTOOL}
            ${CMAKE_BINARY_DIR}/qorpelk.link.def ${CMAKE_BINARY_DIR}/qorpelk.def ${QOR_IMPORT_LIBRARY}
    BYPRODUCTS ${QOR_IMPORT_LIBRARY} ${CMAKE_BINARY_DIR}/qorpelk.def
    COMMENT "qorpelk.def and libqorpelk.a")
add_library(qorpelk_import STATIC IMPORTED GLOBAL)
set_target_properties(qorpelk_import PROPERTIES IMPORTED_LOCATION ${QOR_IMPORT_LIBRARY})
add_dependencies(qorpelk_import qorpelk)

# A minimal C client driver linked against the import library: the decorated references
# of a real client must resolve to qorpelk.sys.
add_library(qor_link_client SHARED ${CMAKE_SOURCE_DIR}/tests/interface/c99_client.c)
target_include_directories(qor_link_client PRIVATE ${CMAKE_SOURCE_DIR}/interface)
target_include_directories(qor_link_client SYSTEM PRIVATE ${QOR_DDK_INCLUDE})
target_compile_definitions(qor_link_client PRIVATE _X86_=1 QOR_LINK_CLIENT)
target_compile_options(qor_link_client PRIVATE -ffreestanding -fno-stack-protector -mno-stack-arg-probe)
set_target_properties(qor_link_client PROPERTIES PREFIX "" SUFFIX ".sys")
target_link_options(qor_link_client PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native
    -Wl,--entry,_DriverEntry@8)
target_link_libraries(qor_link_client PRIVATE qorpelk_import ntoskrnl hal)
qor_nt_image(qor_link_client qor_link_client.sys "QOR link test client driver" 3 7)

# The interface header compiled as C99 and as C++ after ntddk.h, layout checks included.
add_library(qor_interface_check_nt OBJECT
    ${CMAKE_SOURCE_DIR}/tests/interface/c99_client.c
    ${CMAKE_SOURCE_DIR}/tests/interface/cxx_client.cpp)
target_include_directories(qor_interface_check_nt PRIVATE ${CMAKE_SOURCE_DIR}/interface)
target_include_directories(qor_interface_check_nt SYSTEM PRIVATE ${QOR_DDK_INCLUDE})
target_compile_definitions(qor_interface_check_nt PRIVATE _X86_=1)
target_compile_options(qor_interface_check_nt PRIVATE
    $<$<COMPILE_LANGUAGE:C>:-std=c99 -pedantic-errors> -Wall -Wextra -Werror)

enable_testing()
add_test(NAME nt_artifacts
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-nt-artifacts.sh
            ${QOR_OBJDUMP} ${QOR_NM} $<TARGET_FILE:qorpelk> ${QOR_IMPORT_LIBRARY}
            ${CMAKE_BINARY_DIR}/qorpelk.def ${CMAKE_SOURCE_DIR}/interface/qorpelk.h
            $<TARGET_FILE:qor_link_client>)

# Every exported function's comment in the header states its IRQL, what it takes and
# frees, and how it fails.
add_test(NAME interface_reference
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-header-reference.sh ${CMAKE_SOURCE_DIR}/interface/qorpelk.h)

# The sample client driver, importing from qorpelk.sys, and the sample program for Win32.
add_library(acqdrv SHARED ${CMAKE_SOURCE_DIR}/examples/acqdrv/acqdrv.c)
target_include_directories(acqdrv PRIVATE ${CMAKE_SOURCE_DIR}/examples/include ${CMAKE_SOURCE_DIR}/interface)
target_include_directories(acqdrv SYSTEM PRIVATE ${QOR_DDK_INCLUDE})
target_compile_definitions(acqdrv PRIVATE _X86_=1)
target_compile_options(acqdrv PRIVATE -std=c11 -Wall -Wextra -Werror -ffreestanding -fno-stack-protector
    -mno-stack-arg-probe -O2)
set_target_properties(acqdrv PROPERTIES PREFIX "" SUFFIX ".sys" IMPORT_SUFFIX ".link.a")
# A client driver exports nothing: its entry point is found through the PE header.
target_link_options(acqdrv PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--exclude-all-symbols)
target_link_libraries(acqdrv PRIVATE qorpelk_import ntoskrnl hal gcc)
qor_nt_image(acqdrv acqdrv.sys "QOR sample acquisition-card driver" 3 7)

add_executable(acqapp ${CMAKE_SOURCE_DIR}/examples/acqapp/main.c ${CMAKE_SOURCE_DIR}/examples/acqapp/acqapp.c)
target_include_directories(acqapp PRIVATE ${CMAKE_SOURCE_DIR}/examples/include ${CMAKE_SOURCE_DIR}/examples/acqapp
    ${CMAKE_SOURCE_DIR}/interface)
target_compile_options(acqapp PRIVATE -std=c11 -Wall -Wextra -Werror -O2)
qor_nt_image(acqapp acqapp.exe "QOR sample acquisition program" 1 0)

# The sample driver is a native image that imports the library from qorpelk.sys.
add_test(NAME acqdrv_imports_qorpelk
    COMMAND sh -c "${QOR_OBJDUMP} -p $<TARGET_FILE:acqdrv> | grep -q 'Subsystem.*00000001' && ${QOR_OBJDUMP} -p $<TARGET_FILE:acqdrv> | grep -q 'DLL Name: qorpelk.sys' && echo 'acqdrv.sys: native, imports from qorpelk.sys'")

# The kernel images hold no instruction newer than the Pentium; acqapp's own code neither
# (the mingw-w64 runtime linked into acqapp.exe comes prebuilt for the Pentium Pro).
add_test(NAME nt_instructions
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-nt-instructions.sh ${QOR_OBJDUMP}
            $<TARGET_FILE:qorpelk> $<TARGET_FILE:acqdrv> $<TARGET_FILE:qor_link_client>
            $<TARGET_OBJECTS:acqapp>
    COMMAND_EXPAND_LISTS)
# Driver layout: discardable INIT with the entry routine, the checksum, the version resource.
foreach(image qorpelk acqdrv)
    add_test(NAME nt_image_${image}
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-nt-image.sh ${QOR_OBJDUMP} ${QOR_NM} ${QOR_WINDRES}
                ${PROJECT_VERSION} $<TARGET_FILE:${image}> _DriverEntry@8)
endforeach()
# The checks themselves refuse each fault they are meant to catch.
add_test(NAME nt_checks_refuse_faults
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-nt-checks.sh ${CMAKE_SOURCE_DIR}/scripts ${QOR_OBJDUMP} ${QOR_NM}
            ${QOR_WINDRES} ${CMAKE_C_COMPILER} ${PROJECT_VERSION} $<TARGET_FILE:qorpelk>)

# The install kit: what a driver writer ships and builds against. `cmake --install
# build/nt` (or `make kit`) lays it out in build/kit unless a prefix is given. The
# registry scripts and the install text get CR LF line ends, as NT 4's regedit and
# Notepad expect.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX ${CMAKE_SOURCE_DIR}/build/kit CACHE PATH "Where the kit is installed" FORCE)
endif()
set(QOR_KIT_TEXTS registry/qorpelk.reg registry/acqdrv.reg INSTALL.txt GUIDE.txt SCRIPTS.txt)
foreach(text ${QOR_KIT_TEXTS})
    get_filename_component(name ${text} NAME)
    get_filename_component(dir ${text} DIRECTORY)
    if(NOT dir)
        set(dir .)
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/kit/${name})
    file(READ ${CMAKE_SOURCE_DIR}/kit/${name} content)
    string(CONFIGURE "${content}" content @ONLY)
    string(REPLACE "\r\n" "\n" content "${content}")
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${CMAKE_BINARY_DIR}/kit/${name} "${content}")
    install(FILES ${CMAKE_BINARY_DIR}/kit/${name} DESTINATION ${dir})
endforeach()
install(FILES $<TARGET_FILE:qorpelk> $<TARGET_FILE:acqdrv> DESTINATION drivers)
install(PROGRAMS $<TARGET_FILE:acqapp> DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/kit/example/mydrv.c ${CMAKE_SOURCE_DIR}/kit/example/mydrv.qs DESTINATION example)
install(FILES ${QOR_IMPORT_LIBRARY} ${CMAKE_BINARY_DIR}/qorpelk.def DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/interface/qorpelk.h ${CMAKE_SOURCE_DIR}/interface/qorpelk_requests.h
    ${CMAKE_SOURCE_DIR}/interface/qor_s5933.h ${CMAKE_SOURCE_DIR}/interface/qor_plx9050.h
    ${CMAKE_SOURCE_DIR}/interface/qor_plx9080.h ${CMAKE_SOURCE_DIR}/examples/include/qorwin32.h
    ${CMAKE_SOURCE_DIR}/examples/include/acqdrv_ioctl.h DESTINATION include)
# What GUIDE.txt builds with: the image finishing step and the samples to copy from.
install(FILES ${CMAKE_SOURCE_DIR}/tools/pe_finish.c DESTINATION tools)
install(FILES ${CMAKE_SOURCE_DIR}/examples/acqdrv/acqdrv.c DESTINATION src/acqdrv)
install(FILES ${CMAKE_SOURCE_DIR}/examples/acqapp/acqapp.c ${CMAKE_SOURCE_DIR}/examples/acqapp/acqapp.h
    ${CMAKE_SOURCE_DIR}/examples/acqapp/main.c DESTINATION src/acqapp)

# The kit installs into an empty folder with every file, its registry scripts parse, and
# the guide's build lines build the sample driver and program from the kit alone.
add_test(NAME nt_kit
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-kit.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
            ${CMAKE_SOURCE_DIR}/scripts --build-guide)
add_test(NAME nt_reg_parser_refuses_faults
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-check-reg.sh ${CMAKE_SOURCE_DIR}/scripts/check-reg.sh)
