# The driver as a static library linked with the hosted platform. It compiles as
# C++17 without exceptions or RTTI against the hosted kernel headers, exactly the
# sources the Windows build compiles against the DDK headers.
add_library(ccid_driver STATIC ${CCID_DRIVER_SOURCES})
# Position-independent, as the hosted libraries are, for the PC/SC bridge's shared object.
set_target_properties(ccid_driver PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON POSITION_INDEPENDENT_CODE ON)
target_compile_options(ccid_driver PRIVATE ${CCID_DRIVER_CXX_OPTIONS})
target_include_directories(ccid_driver PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ccid_driver PUBLIC hosted_platform)

# The Windows x64 layouts of the structures the driver shares with the kernel, USBD and
# SMCLIB, checked against the hosted headers at compile time (the Windows build checks the
# same table against mingw-w64's). Compiled, never linked.
add_library(ccid_layout_probe OBJECT ${PROJECT_SOURCE_DIR}/platform/common/layout/layout_probe.cpp)
set_target_properties(ccid_layout_probe PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON)
target_compile_options(ccid_layout_probe PRIVATE ${CCID_DRIVER_CXX_OPTIONS})
target_link_libraries(ccid_layout_probe PRIVATE ccid_driver)
