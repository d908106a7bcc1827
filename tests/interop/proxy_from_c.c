/* A C11 caller of the proxy functions, linked against libZentrel.so. Its object
 * is a plain C struct laid out as a COM object: the first word points at the
 * table of QueryInterface, AddRef and Release, each taking the object first.
 * Exits 0 when every check holds. */
#include "interop/proxy.h"

#include <stdio.h>

enum { kOk = 0, kFail = (int32_t)0x80004005u, kPointer = (int32_t)0x80004003u, kInvalidArg = (int32_t)0x80070057u };

typedef struct CountingObject CountingObject;

typedef struct {
    HRESULT (*QueryInterface)(CountingObject* self, const void* iid, void** out);
    uint32_t (*AddRef)(CountingObject* self);
    uint32_t (*Release)(CountingObject* self);
} CountingObjectTable;

struct CountingObject {
    const CountingObjectTable* table;
    int addRefs;
    int releases;
    int queries;
};

static HRESULT QueryInterface(CountingObject* self, const void* iid, void** out) {
    (void)iid;
    ++self->queries;
    *out = NULL;
    return (HRESULT)0x80004002u;
}
static uint32_t AddRef(CountingObject* self) { return (uint32_t)(++self->addRefs - self->releases); }
static uint32_t Release(CountingObject* self) { return (uint32_t)(self->addRefs - ++self->releases); }

static const CountingObjectTable kTable = {QueryInterface, AddRef, Release};

static int failures = 0;

static void Check(int ok, const char* what, int line) {
    if (!ok) {
        fprintf(stderr, "line %d: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

int main(void) {
    CountingObject object = {&kTable, 0, 0, 0};
    CountingObject never = {&kTable, 0, 0, 0};
    IUnknown* const pointer = (IUnknown*)&object;
    void* handle = &never;
    void* again = &never;
    IUnknown* out = (IUnknown*)&never;

    CHECK(ProxyAddHandle(pointer, NULL) == kPointer);
    CHECK(object.addRefs == 0);
    CHECK(ProxyAddHandle(NULL, &handle) == kOk);
    CHECK(handle == NULL);

    CHECK(ProxyAddHandle(pointer, &handle) == kOk);
    CHECK(ProxyAddHandle(pointer, &again) == kOk);
    CHECK(handle == (void*)&object && again == handle);
    CHECK(object.addRefs == 1);

    CHECK(ProxyGetHandle(handle, &out) == kOk);
    CHECK(out == pointer);
    CHECK(object.addRefs == 2);
    Release(&object); /* the reference the lookup handed out */
    CHECK(ProxyGetHandle(handle, NULL) == kPointer);
    out = (IUnknown*)&never;
    CHECK(ProxyGetHandle(&never, &out) == kFail);
    CHECK(out == (IUnknown*)&never);

    CHECK(ProxyRemoveHandle(handle) == kOk);
    CHECK(object.releases == 1);
    CHECK(ProxyRemoveHandle(handle) == kOk);
    CHECK(object.releases == 2);
    CHECK(ProxyRemoveHandle(handle) == kInvalidArg);
    CHECK(ProxyRemoveHandle(NULL) == kInvalidArg);
    CHECK(object.releases == 2 && object.queries == 0);
    CHECK(never.addRefs == 0 && never.releases == 0);

    if (failures == 0) printf("proxy functions from C: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
