// Umbrella header of the exported boundary: the binary vocabulary, Primitive and
// CComVariant with their conversions, the handle registry and the proxy functions.
#pragma once

#include "interop/vocabulary.h"

#include "interop/handle_manager.h"
#include "interop/primitive.h"
#include "interop/proxy.h"
