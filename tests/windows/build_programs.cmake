# Builds the Windows programs of the wine tests (programs/) with the 64-bit
# toolchain, around the installed 64-bit connwalk in STAGE.
#   cmake -DSOURCE=<tree> -DBINARY=<build dir> -DSTAGE=<install dir> -P build_programs.cmake
foreach(variable SOURCE BINARY STAGE)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/tests/windows/programs -B ${BINARY} -G Ninja
                        --toolchain ${SOURCE}/cmake/toolchains/mingw-x86_64.cmake -DCONNWALK_STAGE=${STAGE}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
