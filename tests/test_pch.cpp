// Compiles the suites' shared precompiled header (see tests/CMakeLists.txt).
