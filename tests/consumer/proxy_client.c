/* Uses an installed libZentrel from C: registers an object with the proxy
 * functions of interop/proxy.h, looks it up and removes it, counting the
 * references the library takes and gives back.
 *
 * A C object reaches the library as an IUnknown when its first member points at
 * a table whose first three entries are QueryInterface, AddRef and Release,
 * each taking the object as its first argument. */
#include <stdint.h>
#include <stdio.h>

#include "interop/proxy.h"

/* Status codes, spelled out so that the check does not depend on which names
 * the header offers to C. */
#define EXPECT_S_OK ((HRESULT)0)
#define EXPECT_E_POINTER ((HRESULT)0x80004003u)
#define EXPECT_E_FAIL ((HRESULT)0x80004005u)
#define EXPECT_E_INVALIDARG ((HRESULT)0x80070057u)

struct Counted;

struct CountedTable {
    HRESULT (*QueryInterface)(struct Counted* self, const void* iid, void** out);
    uint32_t (*AddRef)(struct Counted* self);
    uint32_t (*Release)(struct Counted* self);
};

struct Counted {
    const struct CountedTable* table;
    uint32_t references;
};

static HRESULT CountedQueryInterface(struct Counted* self, const void* iid, void** out) {
    (void)self;
    (void)iid;
    if (out) *out = NULL;
    return (HRESULT)0x80004002u; /* E_NOINTERFACE: the library never asks */
}

static uint32_t CountedAddRef(struct Counted* self) { return ++self->references; }

static uint32_t CountedRelease(struct Counted* self) { return --self->references; }

static const struct CountedTable kCountedTable = {CountedQueryInterface, CountedAddRef, CountedRelease};

static int failures = 0;

static void Check(int ok, const char* what) {
    if (!ok) {
        printf("FAIL: %s\n", what);
        ++failures;
    }
}

int main(void) {
    struct Counted object = {&kCountedTable, 1};
    IUnknown* unknown = (IUnknown*)&object;
    void* handle = NULL;
    void* other = &failures;
    IUnknown* found = NULL;

    Check(ProxyAddHandle(unknown, NULL) == EXPECT_E_POINTER, "a null out-parameter is E_POINTER");
    Check(object.references == 1, "nothing registered without an out-parameter");

    Check(ProxyAddHandle(unknown, &handle) == EXPECT_S_OK, "first registration succeeds");
    Check(handle == (void*)unknown, "the handle is the pointer");
    Check(ProxyAddHandle(unknown, &handle) == EXPECT_S_OK, "second registration succeeds");
    Check(object.references == 2, "the registry holds one reference however often registered");

    Check(ProxyGetHandle(handle, &found) == EXPECT_S_OK && found == unknown, "lookup gives the pointer back");
    Check(object.references == 3, "lookup adds a reference for the caller");
    object.table->Release(&object);

    Check(ProxyGetHandle(other, &found) == EXPECT_E_FAIL, "an unknown handle is E_FAIL");

    Check(ProxyRemoveHandle(handle) == EXPECT_S_OK && object.references == 2, "first removal keeps the reference");
    Check(ProxyRemoveHandle(handle) == EXPECT_S_OK && object.references == 1, "last removal releases it");
    Check(ProxyRemoveHandle(handle) == EXPECT_E_INVALIDARG, "a removed handle is E_INVALIDARG");

    printf("proxy_client: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
