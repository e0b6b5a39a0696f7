# Lays out the Windows zip (cmake -P, from the target kassiro_zip):
#   kassiro-<version>-win64/  the programs, README.txt (the README with Windows line
#                             ends), protocol.html and operator.html (the guides, with
#                             the operator's guide's pictures in operator/)
# ZIP_DIR, ZIP_FILE, SOURCE_DIR, PROGRAMS and CMARK come from the caller.
file(REMOVE_RECURSE ${ZIP_DIR})
file(MAKE_DIRECTORY ${ZIP_DIR})
file(COPY ${PROGRAMS} DESTINATION ${ZIP_DIR})

# Notepad of older Windows shows a text without carriage returns as one line.
function(windows_text from to)
  file(READ ${from} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${to} "${text}")
endfunction()
windows_text(${SOURCE_DIR}/README.md ${ZIP_DIR}/README.txt)

foreach(guide protocol operator)
  if(CMARK)
    execute_process(COMMAND ${CMARK} --to html ${SOURCE_DIR}/docs/${guide}.md
                    OUTPUT_VARIABLE body RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "cmark failed on docs/${guide}.md")
    endif()
    file(WRITE ${ZIP_DIR}/${guide}.html
         "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Kassiro: ${guide}</title></head>\n<body>\n${body}</body></html>\n")
  else()
    windows_text(${SOURCE_DIR}/docs/${guide}.md ${ZIP_DIR}/${guide}.txt)
  endif()
endforeach()
if(EXISTS ${SOURCE_DIR}/docs/operator)
  file(COPY ${SOURCE_DIR}/docs/operator DESTINATION ${ZIP_DIR})
endif()

get_filename_component(parent ${ZIP_DIR} DIRECTORY)
get_filename_component(name ${ZIP_DIR} NAME)
file(REMOVE ${ZIP_FILE})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP_FILE} --format=zip ${name}
                WORKING_DIRECTORY ${parent} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not make ${ZIP_FILE}")
endif()
message(STATUS "Made ${ZIP_FILE}")
