# What the platform offers, detected instead of assumed. The library targets
# LP64 Unix: Linux with glibc (GCC or Clang, libstdc++ or libc++) and FreeBSD
# (Clang and libc++ by default, lld as the linker, uuid_to_string in libc, no
# separate libdl or libpthread to link; older glibc gets libdl).
include(CheckCSourceCompiles)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  message(FATAL_ERROR "libZentrel's binary layouts are those of an LP64 platform; this one has "
                      "${CMAKE_SIZEOF_VOID_P}-byte pointers")
endif()

# Threads: `-pthread` where the compiler takes it (it also sets the macros the C
# library wants), a library only where that is the platform's way.
set(THREADS_PREFER_PTHREAD_FLAG ON)

# FreeBSD's libc formats GUIDs with uuid_to_string; elsewhere the library has its
# own formatter that writes the same text. The check compiles and links the call
# exactly as the library makes it, so a header of the same name with another
# interface (libuuid's uuid/uuid.h, OSSP uuid) does not count.
check_c_source_compiles("
  #include <stdint.h>
  #include <stdlib.h>
  #include <uuid.h>
  int main(void) {
    uuid_t id = {0};
    char* text = 0;
    uint32_t status = 0;
    uuid_to_string(&id, &text, &status);
    free(text);
    return (int)status;
  }" ZENTREL_HAVE_UUID_TO_STRING)

# pthread keys and dladdr/dlopen (the current-error slot ends with its thread
# through a key, and keeps the module that holds the key's destructor loaded):
# in libc on FreeBSD and on glibc 2.34 and later, in libdl before.
check_cxx_source_compiles("
  #include <dlfcn.h>
  #include <pthread.h>
  int main() {
    pthread_key_t key;
    Dl_info info;
    return pthread_key_create(&key, nullptr) + dladdr(reinterpret_cast<void*>(&main), &info) +
           (dlopen(info.dli_fname, RTLD_NOLOAD | RTLD_NODELETE) != nullptr);
  }" ZENTREL_HAVE_DL_IN_LIBC)
set(ZENTREL_DL_LIBS "")
if(NOT ZENTREL_HAVE_DL_IN_LIBC)
  set(ZENTREL_DL_LIBS ${CMAKE_DL_LIBS})
endif()

# libZentrel.so keeps everything but its promised symbols local with a version
# script (GNU ld, gold and lld all read one).
file(WRITE ${CMAKE_BINARY_DIR}/CMakeFiles/zentrel_probe.map "{ global: main; local: *; };\n")
check_linker_flag(CXX "LINKER:--version-script=${CMAKE_BINARY_DIR}/CMakeFiles/zentrel_probe.map"
                  ZENTREL_HAVE_VERSION_SCRIPT)
if(NOT ZENTREL_HAVE_VERSION_SCRIPT)
  message(FATAL_ERROR "The linker does not accept --version-script, which keeps libZentrel.so's exports exact")
endif()
