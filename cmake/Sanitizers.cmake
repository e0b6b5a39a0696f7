add_library(kassiro_sanitizers INTERFACE)
if(KASSIRO_SANITIZE)
  target_compile_options(kassiro_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(kassiro_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
