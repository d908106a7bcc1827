// The process-wide registry behind the proxy functions. Internal: not
// installed; callers outside the library reach it through interop/proxy.h.
#pragma once

#include "interop/handle_manager.h"

namespace KoAtlCom::Interop::detail {

// Constructed when the library is loaded, destroyed when it is unloaded or the
// process exits. Not exported.
extern HandleManager gProcessHandles;

}  // namespace KoAtlCom::Interop::detail
