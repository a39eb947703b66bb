# Checks the component library's dynamic symbols: it defines exactly Quorvel_GetOperationReceipt,
# and every service function it calls is an undefined symbol, bound by name when it is loaded.
# Run as: cmake -DLIBRARY=<path> -DNM=<nm> -P CheckExports.cmake

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE defined RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${defined}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names ${name})
endforeach()
if(NOT names STREQUAL "Quorvel_GetOperationReceipt")
  message(FATAL_ERROR "defined dynamic symbols are [${names}], not Quorvel_GetOperationReceipt alone")
endif()

execute_process(COMMAND ${NM} -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE undefined)
foreach(service IN ITEMS
    Quorvel_ErrorSetDefaultMessage Quorvel_ErrorSetCategory Quorvel_ErrorPostError
    Quorvel_ErrorEnterContex Quorvel_ErrorGetErrorCode Quorvel_ErrorGetErrorMessageSize
    Quorvel_ErrorGetErrorMessage Quorvel_ErrorGetDefaultMessage Quorvel_ErrorExitContex
    Quorvel_LoggingGetLogger Quorvel_LoggingIsLogEnabled Quorvel_LoggingIsLoggingSuppressed
    Quorvel_LoggingLog Quorvel_GetEventBroker Quorvel_GetCommon
    BitData_CreateManaged BitData_CreateManagedFromBitData BitData_FreeManaged BitData_Resize
    BitData_Copy BitData_ReadIndices BitData_WriteIndices BitData_GetUpToUInt64)
  if(NOT undefined MATCHES " U ${service}\n")
    message(FATAL_ERROR "${service} is not an undefined symbol of ${LIBRARY}")
  endif()
endforeach()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic)
if(dynamic MATCHES "SYMBOLIC")
  message(FATAL_ERROR "${LIBRARY} binds its symbols locally (SYMBOLIC)")
endif()
message(STATUS "exports and service imports of ${LIBRARY} are as expected")
