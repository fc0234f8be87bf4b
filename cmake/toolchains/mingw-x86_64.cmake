# 64-bit Windows: the twin that runs the test suite under wine64.
set(LAUNCHER_WINDOWS_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
