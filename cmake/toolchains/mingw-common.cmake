# What both mingw-w64 cross builds share; CONNWALK_MINGW_TRIPLET names the target.
set(CMAKE_C_COMPILER ${CONNWALK_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CONNWALK_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${CONNWALK_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${CONNWALK_MINGW_TRIPLET}-dlltool)

# Headers and libraries come from the mingw-w64 tree only; programs (the
# compilers' helpers, windres) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${CONNWALK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
