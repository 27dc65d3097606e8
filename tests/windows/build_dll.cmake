# Configures, builds and installs one Windows preset (mingw32 or mingw64)
# into directories of the Linux build's own, so that the tests neither use
# nor disturb build/<preset>.
#   cmake -DSOURCE=<tree> -DPRESET=<preset> -DBINARY=<build dir> -DSTAGE=<install dir> -P build_dll.cmake
foreach(variable SOURCE PRESET BINARY STAGE)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} --preset ${PRESET} -B ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY} --prefix ${STAGE} COMMAND_ERROR_IS_FATAL ANY)
