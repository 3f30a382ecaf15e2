# Fails when a driver object needs start-up code that a kernel image never runs:
# constructors of global objects, guarded local statics or atexit-registered destructors.
# Called with -DNM=<nm> -DOBJECTS=<object>|<object>|...
string(REPLACE "|" ";" _objects "${OBJECTS}")
foreach(_object IN LISTS _objects)
  execute_process(COMMAND ${NM} ${_object} OUTPUT_VARIABLE _symbols RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "cannot read symbols of ${_object}")
  endif()
  foreach(_pattern _GLOBAL__sub_I_ __cxa_guard_acquire __cxa_atexit " U atexit")
    string(FIND "${_symbols}" "${_pattern}" _at)
    if(NOT _at EQUAL -1)
      get_filename_component(_name ${_object} NAME)
      message(FATAL_ERROR "${_name} needs dynamic initialisation (${_pattern}); "
                          "driver globals must be constant-initialised")
    endif()
  endforeach()
endforeach()
