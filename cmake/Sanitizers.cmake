add_library(kassiro_sanitizers INTERFACE)
if(KASSIRO_SANITIZE AND KASSIRO_TSAN)
  message(FATAL_ERROR "KASSIRO_SANITIZE and KASSIRO_TSAN exclude each other: use two build folders")
endif()
if(KASSIRO_SANITIZE)
  target_compile_options(kassiro_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(kassiro_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
# ThreadSanitizer: every data race is an error (halt_on_error in the tests' environment).
# It does not model stand-alone fences, so Asio leaves its fenced blocks out and hands
# work between threads through its locks alone, which TSan sees.
if(KASSIRO_TSAN)
  target_compile_options(kassiro_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_compile_definitions(kassiro_sanitizers INTERFACE ASIO_DISABLE_FENCED_BLOCK)
  target_link_options(kassiro_sanitizers INTERFACE -fsanitize=thread)
endif()
# The fuzz build: coverage for libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
if(KASSIRO_FUZZ)
  target_compile_options(kassiro_sanitizers INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  target_link_options(kassiro_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
