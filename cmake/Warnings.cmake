# Warning flags every target of this project compiles with.
add_library(zentrel_warnings INTERFACE)
target_compile_options(zentrel_warnings INTERFACE -Wall -Wextra -Wshadow $<$<BOOL:${ZENTREL_WERROR}>:-Werror>)
