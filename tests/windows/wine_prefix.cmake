# Starts or stops wine for the wine tests, in a prefix of their own.
#   cmake -DACTION=start|stop -DPREFIX=<dir> -DWINE=<wine64> -DWINESERVER=<wineserver> -P wine_prefix.cmake
#
# start: a wine server that stays up between the tests (and ends by itself
# two minutes after the last one), then the prefix's first boot, so that the
# tests do not each pay for starting wine. The server's output goes to a
# file: a server holding the test's own output open would keep the test
# from ending.
# stop:  ends the server and whatever still runs in the prefix.
foreach(variable ACTION PREFIX WINE WINESERVER)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()
set(ENV{WINEPREFIX} ${PREFIX})
set(ENV{WINEDEBUG} -all)
unset(ENV{DISPLAY})

if(ACTION STREQUAL "start")
    file(MAKE_DIRECTORY ${PREFIX})
    execute_process(COMMAND ${WINESERVER} -p120
                    OUTPUT_FILE ${PREFIX}.server.log ERROR_FILE ${PREFIX}.server.log)
    # No downloads of wine's Mono and Gecko: nothing here needs them.
    set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
    execute_process(COMMAND ${WINE} wineboot --init
                    OUTPUT_FILE ${PREFIX}.boot.log ERROR_FILE ${PREFIX}.boot.log
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        file(READ ${PREFIX}.boot.log log)
        message(FATAL_ERROR "wineboot failed (${result}):\n${log}")
    endif()
elseif(ACTION STREQUAL "stop")
    execute_process(COMMAND ${WINESERVER} -k OUTPUT_QUIET ERROR_QUIET)
else()
    message(FATAL_ERROR "ACTION must be start or stop")
endif()
