# One place for the warning flags every target of ours builds with.
add_library(velmoran_warnings INTERFACE)
target_compile_options(velmoran_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference
  -Werror)
