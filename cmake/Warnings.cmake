# Warnings travel through an interface target, not through global flags.
add_library(kassiro_warnings INTERFACE)
target_compile_options(kassiro_warnings INTERFACE -Wall -Wextra -Wpedantic)
