# Fails when the driver image can ask for executable pool: at every call of a pool
# allocation routine, the pool type (first argument, %ecx) must be loaded from the
# non-executable opt-in's ExDefaultNonPagedPoolType or be a constant naming paged or NX
# non-paged pool. Reads the disassembly of the unstripped image next to the one named by
# the environment's CCID_WINDOWS_IMAGE. Called with -DOBJDUMP=<mingw objdump> (a command
# with arguments separated by '|').
string(REPLACE "|" ";" OBJDUMP "${OBJDUMP}")
set(_image "$ENV{CCID_WINDOWS_IMAGE}")
if(_image STREQUAL "")
  message(STATUS "CCID_WINDOWS_IMAGE is not set: nothing to check")
  return()
endif()
string(REGEX REPLACE "\\.sys$" ".unstripped.sys" _unstripped "${_image}")
if(NOT EXISTS "${_unstripped}")
  message(FATAL_ERROR "no unstripped image next to ${_image} (${_unstripped})")
endif()
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn "${_unstripped}"
  OUTPUT_VARIABLE _listing RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not disassemble ${_unstripped}")
endif()
string(REPLACE ";" "<semicolon>" _listing "${_listing}")
string(REPLACE "\n" ";" _lines "${_listing}")

set(_routine "?")
set(_writer "")
set(_calls 0)
set(_failures "")
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^[0-9a-f]+ <([^>]+)>:")
    set(_routine "${CMAKE_MATCH_1}")
    set(_writer "")
  elseif(_line MATCHES "call.*<__imp_ExAllocatePool[A-Za-z]*>")
    math(EXPR _calls "${_calls} + 1")
    if(NOT _writer MATCHES "<ExDefaultNonPagedPoolType>" AND NOT _writer MATCHES "mov +\\$0x(1|5|200|204),%ecx")
      string(STRIP "${_line}" _call)
      string(STRIP "${_writer}" _how)
      string(APPEND _failures "  ${_routine}: pool type from '${_how}' at '${_call}'\n")
    endif()
    set(_writer "")
  elseif(_line MATCHES "\tcall ")
    set(_writer "")  # %rcx does not survive a call
  elseif(_line MATCHES ",%[er]?c[xl]([ \t]|$)" AND NOT _line MATCHES "\t(cmp|test)[a-z]* ")
    set(_writer "${_line}")  # the last instruction that wrote %ecx
  endif()
endforeach()
if(_calls EQUAL 0)
  message(FATAL_ERROR "no pool allocation found in ${_unstripped}: is the disassembly still understood?")
endif()
if(_failures)
  message(FATAL_ERROR "pool allocations that may be executable:\n${_failures}")
endif()
message(STATUS "${_calls} pool allocations, each of paged or non-executable pool")
