# The driver's sources, shared by the hosted and the Windows build. Driver folders hold
# kernel code only: no standard library, exceptions, RTTI or dynamic initialisation.
set(CCID_DRIVER_DIRS frame pnp usb reader features power)
set(CCID_DRIVER_SOURCES)
foreach(dir ${CCID_DRIVER_DIRS})
  file(GLOB _srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND CCID_DRIVER_SOURCES ${_srcs})
endforeach()
list(SORT CCID_DRIVER_SOURCES)

# Warnings are errors in both builds and on the hosted side (CCID_WERROR, on by default; a
# newer compiler with new warnings can turn it off until they are mended).
option(CCID_WERROR "Treat compiler warnings as errors" ON)

# Compile options every driver translation unit gets, in both builds.
set(CCID_DRIVER_CXX_OPTIONS
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  # Wire structs are read through casts of byte buffers; no aliasing assumptions.
  -fno-strict-aliasing
  -Wall -Wextra -Wno-multichar
  # A kernel stack is small: a frame over 2 KiB is an error (clang spells the option apart
  # from its limit).
  $<$<NOT:$<CXX_COMPILER_ID:Clang>>:-Werror=frame-larger-than=2048>
  $<$<CXX_COMPILER_ID:Clang>:-Wframe-larger-than=2048>
  $<$<CXX_COMPILER_ID:Clang>:-Werror=frame-larger-than>
  # Non-paged pool is non-executable (NonPagedPool names NonPagedPoolNx once DriverEntry
  # has called ExInitializeDriverRuntime): HVCI and Driver Verifier's code integrity
  # check refuse executable pool.
  -DPOOL_NX_OPTIN=1
  $<$<BOOL:${CCID_WERROR}>:-Werror>)
