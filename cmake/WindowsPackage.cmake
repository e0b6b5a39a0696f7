# `make package-windows`: kassiro-<version>-win64.zip with the programs, the README as
# text and the guides. Built by the target kassiro_zip from the programs of this build.
# The guides become HTML pages with cmark (Debian: cmark).
find_program(KASSIRO_CMARK cmark)
set(KASSIRO_ZIP_NAME kassiro-${PROJECT_VERSION}-win64)
set(KASSIRO_ZIP_DIR ${PROJECT_BINARY_DIR}/package/${KASSIRO_ZIP_NAME})
add_custom_target(kassiro_zip
  COMMAND ${CMAKE_COMMAND}
          -DZIP_DIR=${KASSIRO_ZIP_DIR}
          -DZIP_FILE=${PROJECT_BINARY_DIR}/${KASSIRO_ZIP_NAME}.zip
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DCMARK=${KASSIRO_CMARK}
          "-DPROGRAMS=$<TARGET_FILE:kassirod>;$<TARGET_FILE:kassiro_win>;$<TARGET_FILE:ecrsim>;$<TARGET_FILE:ecrscan>;$<TARGET_FILE:ecrclient>"
          -P ${PROJECT_SOURCE_DIR}/cmake/MakeWindowsZip.cmake
  DEPENDS kassirod kassiro_win ecrsim ecrscan ecrclient
  VERBATIM)
add_dependencies(kassiro_programs kassirod kassiro_win ecrsim ecrscan ecrclient)
