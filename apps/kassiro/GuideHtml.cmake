# The operator's guide as one HTML page: cmark's body (its raw HTML kept, for the topics'
# anchors) inside a page with a title and a readable width. cmake -P with CMARK, IN, OUT.
execute_process(COMMAND ${CMARK} --unsafe ${IN} OUTPUT_VARIABLE body RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmark failed on ${IN}")
endif()
file(WRITE ${OUT} "<!DOCTYPE html>
<html><head><meta charset=\"utf-8\"><title>Kassiro - operator's guide</title>
<style>body{font-family:Arial,sans-serif;max-width:50em;margin:1em auto;padding:0 1em}img{max-width:100%}</style>
</head><body>
${body}</body></html>
")
