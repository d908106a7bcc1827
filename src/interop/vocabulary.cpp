#include "interop/vocabulary.h"

#include <cstring>

void VariantInit(VARIANT* v) noexcept { std::memset(v, 0, sizeof *v); }
