# Warnings for the hosted platform, simulator, tools and tests (C++20); errors unless
# CCID_WERROR is off (cmake/DriverSources.cmake).
set(CCID_HOSTED_CXX_OPTIONS -Wall -Wextra -Wno-multichar $<$<BOOL:${CCID_WERROR}>:-Werror>)

# Sanitizer builds come from the presets (CMAKE_CXX_FLAGS); nothing else to do here.

# ccid_hosted_library(<name> [OBJECT] SOURCES <file>... [INCLUDES <dir>...]
#                     [DEPS <target>...] [PRIVATE_DEPS <target>...])
# One static (or object) library of the hosted side: C++20 for it and its users, the
# hosted warnings, INCLUDES and DEPS passed on to users, PRIVATE_DEPS kept to itself.
# Every hosted library is made by this function, so they all build the same way.
function(ccid_hosted_library name)
  cmake_parse_arguments(ARG "OBJECT" "" "SOURCES;INCLUDES;DEPS;PRIVATE_DEPS" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "ccid_hosted_library(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(ARG_OBJECT)
    add_library(${name} OBJECT ${ARG_SOURCES})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
  endif()
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_compile_options(${name} PRIVATE ${CCID_HOSTED_CXX_OPTIONS})
  target_include_directories(${name} PUBLIC ${ARG_INCLUDES})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()
