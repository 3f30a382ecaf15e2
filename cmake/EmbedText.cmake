# ccid_embed_text(<target> <namespace> <symbol> <file>): compiles the text of <file> into
# <target> as `extern const char* const <namespace>::<symbol>`, so that a data file is
# available from any working directory. The configuration runs again when the file
# changes. One function for every data file the simulator embeds, so the tests that read
# the same file from tests/data compare against exactly what was built in.
function(ccid_embed_text target namespace symbol file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  file(READ ${file} _text)
  set(_delimiter "ccidtext")
  string(FIND "${_text}" ")${_delimiter}\"" _clash)
  if(NOT _clash EQUAL -1)
    message(FATAL_ERROR "${file} contains the raw-string delimiter )${_delimiter}\"")
  endif()
  get_filename_component(_name ${file} NAME)
  set(_source ${CMAKE_CURRENT_BINARY_DIR}/embedded_${symbol}.cpp)
  file(CONFIGURE OUTPUT ${_source} @ONLY CONTENT
"// Generated at configure time from @_name@.
namespace @namespace@ {
extern const char* const @symbol@;
const char* const @symbol@ = R\"@_delimiter@(@_text@)@_delimiter@\";
}  // namespace @namespace@
")
  target_sources(${target} PRIVATE ${_source})
endfunction()
