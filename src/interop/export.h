// Marks the few declarations that libZentrel.so exports; everything else is
// compiled with hidden visibility and kept local by the linker version script.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZENTREL_EXPORT __attribute__((visibility("default")))
#else
#define ZENTREL_EXPORT
#endif
