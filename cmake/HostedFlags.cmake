# Warnings for the hosted platform, simulator, tools and tests (C++20).
set(CCID_HOSTED_CXX_OPTIONS -Wall -Wextra -Wno-multichar)

# Sanitizer builds come from the presets (CMAKE_CXX_FLAGS); nothing else to do here.
