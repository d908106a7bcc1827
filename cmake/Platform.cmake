# What the platform offers, detected instead of assumed.
include(CheckSymbolExists)
include(CheckCXXSourceCompiles)

# FreeBSD's libc formats GUIDs with uuid_to_string; elsewhere the library has its
# own formatter that writes the same text.
check_symbol_exists(uuid_to_string "uuid.h" ZENTREL_HAVE_UUID_TO_STRING)

# Thread-exit destructors of thread_local objects (the current-error slot).
check_cxx_source_compiles("
  struct S { ~S() {} };
  thread_local S s;
  int main() { (void)&s; return 0; }" ZENTREL_HAVE_THREAD_LOCAL_DTORS)
if(NOT ZENTREL_HAVE_THREAD_LOCAL_DTORS)
  message(FATAL_ERROR "The C++ runtime lacks thread_local destructors, which the current-error slot needs")
endif()
