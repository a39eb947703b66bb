# Runs the demo (-DDEMO=<path>) with wrong command lines; each must exit with code 2 and say
# "try --help" on stderr.

set(cases
  "--no-such-option"
  "--ops|0"
  "--threads|abc"
  "--ops")

foreach(case IN LISTS cases)
  string(REPLACE "|" ";" arguments "${case}")
  string(REPLACE "|" " " shown "${case}")
  execute_process(COMMAND "${DEMO}" ${arguments}
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err ERROR_STRIP_TRAILING_WHITESPACE)
  if(NOT code EQUAL 2)
    message(FATAL_ERROR "'${shown}': exit code ${code}, expected 2\n${err}")
  endif()
  if(NOT err MATCHES "try --help")
    message(FATAL_ERROR "'${shown}': no 'try --help' on stderr: ${err}")
  endif()
  message(STATUS "'${shown}' -> ${err}")
endforeach()
