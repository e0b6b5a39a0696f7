# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads), for
# `make windows`: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KASSIRO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KASSIRO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KASSIRO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KASSIRO_MINGW}-windres)

# Only the mingw tree for libraries and headers; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KASSIRO_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 10 and later.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00)

# Without -static a program needs mingw's runtime DLLs beside it, and without them it
# ends with status 53 and no message.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest and gtest_discover_tests run the test programs through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
