# Composes a manual page's markdown from its hand-written body and the
# OPTIONS section the program prints from its own option table, so that the
# page lists exactly the options the program takes.
#
#   cmake -DPROGRAM=path -DBODY=page.md -DOUT=composed.md -P ComposeManPage.cmake
#
# The body holds the line "<!-- options -->" where the section goes.
set(marker "<!-- options -->")
execute_process(COMMAND ${PROGRAM} --options-markdown
                OUTPUT_VARIABLE options RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR options STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --options-markdown failed (${status})")
endif()
file(READ ${BODY} body)
string(FIND "${body}" "${marker}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${BODY} has no ${marker} line for the options")
endif()
string(REPLACE "${marker}" "${options}" body "${body}")
file(WRITE ${OUT} "${body}")
