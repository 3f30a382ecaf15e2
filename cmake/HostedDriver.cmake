# The driver as a static library linked with the hosted platform. It compiles as
# C++17 without exceptions or RTTI against the hosted kernel headers, exactly the
# sources the Windows build compiles against the DDK headers.
add_library(ccid_driver STATIC ${CCID_DRIVER_SOURCES})
# Position-independent, as the hosted libraries are, for the PC/SC bridge's shared object.
set_target_properties(ccid_driver PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON POSITION_INDEPENDENT_CODE ON)
target_compile_options(ccid_driver PRIVATE ${CCID_DRIVER_CXX_OPTIONS})
target_include_directories(ccid_driver PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ccid_driver PUBLIC hosted_platform)
