// Array operations that exist for callers written against the usual OLE
// Automation surface but have nothing to do here. Arrays are never locked or
// pinned (the lock count is only ever read), so the locking entry points
// succeed without effect; record elements are not supported, so the record
// entry points answer E_NOTIMPL. None of them reads or writes its arguments.
#pragma once

#include "automation/safearray/safearray.h"

// S_OK, no effect: nothing is locked, so there is nothing to take or give back.
HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept;
// S_OK, no effect: the array lives until it is destroyed; *dataToRelease is not
// written.
HRESULT SafeArrayAddRef(SAFEARRAY* psa, void** dataToRelease) noexcept;

// E_NOTIMPL: record elements are not supported; nothing is written.
HRESULT SafeArraySetRecordInfo(SAFEARRAY* psa, IRecordInfo* recordInfo) noexcept;
HRESULT SafeArrayGetRecordInfo(SAFEARRAY* psa, IRecordInfo** recordInfo) noexcept;
HRESULT GetRecordInfoFromGuids(REFGUID typeLibrary, ULONG majorVersion, ULONG minorVersion, LCID lcid, REFGUID typeInfo,
                               IRecordInfo** recordInfo) noexcept;
