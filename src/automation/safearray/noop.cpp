#include "automation/safearray/noop.h"

HRESULT SafeArrayLock(SAFEARRAY*) noexcept { return S_OK; }

HRESULT SafeArrayUnlock(SAFEARRAY*) noexcept { return S_OK; }

HRESULT SafeArrayUnaccessData(SAFEARRAY*) noexcept { return S_OK; }

HRESULT SafeArrayAddRef(SAFEARRAY*, void**) noexcept { return S_OK; }

HRESULT SafeArraySetRecordInfo(SAFEARRAY*, IRecordInfo*) noexcept { return E_NOTIMPL; }

HRESULT SafeArrayGetRecordInfo(SAFEARRAY*, IRecordInfo**) noexcept { return E_NOTIMPL; }

HRESULT GetRecordInfoFromGuids(REFGUID, ULONG, ULONG, LCID, REFGUID, IRecordInfo**) noexcept { return E_NOTIMPL; }
