// Error-information objects and the current error of each thread.
#pragma once

#include "interop/vocabulary.h"

struct ICreateErrorInfo : IUnknown {
    virtual HRESULT SetGUID(REFGUID guid) = 0;
    virtual HRESULT SetSource(LPCOLESTR source) = 0;
    virtual HRESULT SetDescription(LPCOLESTR description) = 0;
    virtual HRESULT SetHelpFile(LPCOLESTR helpFile) = 0;
    virtual HRESULT SetHelpContext(DWORD helpContext) = 0;
};

struct IErrorInfo : IUnknown {
    virtual HRESULT GetGUID(GUID* guid) = 0;
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* helpContext) = 0;
};

// A new, empty error object with one reference, handed out as its
// ICreateErrorInfo view. E_POINTER for a null `out`; E_OUTOFMEMORY (nothing
// written) when it cannot be allocated.
HRESULT CreateErrorInfo(ICreateErrorInfo** out) noexcept;

// Makes `info` (may be null) the calling thread's current error. Always S_OK.
// The thread takes a reference of its own on `info` before it releases the old
// current error. `reserved` is ignored.
//
// The thread's reference is released exactly once, whatever order its exit
// code runs in: when the thread ends, after its thread_local destructors (what
// they store is released too), or, for a current error stored by code that
// runs later still (another pthread key destructor; on the thread that calls
// exit, an at-exit handler or static destructor), in the next round of key
// destructors or later in exit. A call made after the thread's current error
// was released stores nothing and takes no reference.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) noexcept;

// The calling thread's current error with a new reference (null and S_OK when
// there is none, also after the thread's end has released it); the thread keeps
// it. The object is asked for IID_IErrorInfo, and a refusal is returned as its
// status. E_POINTER for a null `out`.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out) noexcept;
