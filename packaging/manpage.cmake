# Writes the manual page OUT from TEMPLATE: its options are the built PROGRAM's own --help, so
# that the page never drifts from the program. Run with cmake -P at build time.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=XDG_STATE_HOME HOME=~
                        QT_QPA_PLATFORM=offscreen ${PROGRAM} --help
                OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed: ${status}")
endif()
# roff: a backslash is \e, and a line that begins with . or ' would be a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(STRIP "${help}" OPTIONS)
configure_file(${TEMPLATE} ${OUT} @ONLY)
