# The Windows build (cmake/toolchain-mingw-w64.cmake): the header-only libraries and
# GoogleTest come from the build machine's Debian packages, the system libraries from
# mingw-w64.

# Asio and CLI11 are header-only and compile with mingw unchanged. The mingw compiler must
# never see /usr/include (glibc's headers would leak in), so a folder of links to just
# these two joins its include path.
set(KASSIRO_HOST_HEADERS ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${KASSIRO_HOST_HEADERS})
foreach(entry asio.hpp asio CLI)
  if(NOT EXISTS ${KASSIRO_HOST_HEADERS}/${entry})
    file(CREATE_LINK /usr/include/${entry} ${KASSIRO_HOST_HEADERS}/${entry} SYMBOLIC)
  endif()
endforeach()

# Every library links this: the Windows API as the code expects it (wide-character
# calls, no min/max macros) and the sockets Asio needs.
target_compile_definitions(kassiro_system INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
target_include_directories(kassiro_system SYSTEM INTERFACE ${KASSIRO_HOST_HEADERS})
target_link_libraries(kassiro_system INTERFACE ws2_32 mswsock)

add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${KASSIRO_HOST_HEADERS})

# The test programs run under Wine: their tests are listed when ctest runs (in the Wine
# prefix that `make test-windows` makes), not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Debian ships GoogleTest for Linux only: it is built here from its sources.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# Every program carries the project's version as its file version (the server's title
# reads it) and a manifest that makes UTF-8 its code page, as on Linux.
enable_language(RC)
set(KASSIRO_MANIFEST ${PROJECT_SOURCE_DIR}/dist/windows/kassiro.manifest)
configure_file(${PROJECT_SOURCE_DIR}/dist/windows/version.rc.in ${PROJECT_BINARY_DIR}/version.rc @ONLY)

# kassiro_windows_resources(<folder>): adds them to every program defined under folder.
function(kassiro_windows_resources folder)
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/version.rc)
    endif()
  endforeach()
  get_property(folders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS folders)
    kassiro_windows_resources(${sub})
  endforeach()
endfunction()
