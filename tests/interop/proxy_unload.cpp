// Loads libZentrel.so with dlopen, as a proxy host does, and checks what its
// process-wide registry does to the host's objects when the library is unloaded.
// The library's path comes from the build (ZENTREL_LIBRARY_PATH).
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "interop/vocabulary.h"
#include "support/fake_unknown.h"

namespace {

using zentrel::test::FakeUnknown;

struct Library {
    using AddFn = HRESULT (*)(IUnknown*, void**);
    using RemoveFn = HRESULT (*)(void*);
    using GetFn = HRESULT (*)(void*, IUnknown**);

    void* module = dlopen(ZENTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    AddFn add = module ? reinterpret_cast<AddFn>(dlsym(module, "ProxyAddHandle")) : nullptr;
    RemoveFn remove = module ? reinterpret_cast<RemoveFn>(dlsym(module, "ProxyRemoveHandle")) : nullptr;
    GetFn get = module ? reinterpret_cast<GetFn>(dlsym(module, "ProxyGetHandle")) : nullptr;

    bool Loaded() const { return add != nullptr && remove != nullptr && get != nullptr; }
    void Unload() {
        ASSERT_EQ(0, dlclose(module)) << dlerror();
        module = nullptr;
    }
    static bool Resident() {
        void* again = dlopen(ZENTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
        if (again != nullptr) dlclose(again);
        return again != nullptr;
    }
};

TEST(ProxyUnload, ReleasesEachRegisteredObjectExactlyOnce) {
    FakeUnknown thrice;
    FakeUnknown once;
    FakeUnknown removed;
    Library library;
    ASSERT_TRUE(library.Loaded()) << dlerror();

    void* handle = nullptr;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(S_OK, library.add(thrice.unknown(), &handle));
    ASSERT_EQ(S_OK, library.add(once.unknown(), &handle));
    ASSERT_EQ(S_OK, library.add(removed.unknown(), &handle));
    ASSERT_EQ(S_OK, library.remove(handle));
    ASSERT_EQ(1, removed.releases());
    EXPECT_EQ(0, thrice.releases());
    EXPECT_EQ(0, once.releases());

    library.Unload();
    ASSERT_FALSE(Library::Resident()) << "dlclose left the library loaded";

    EXPECT_EQ(1, thrice.addRefs());
    EXPECT_EQ(1, thrice.releases());
    EXPECT_EQ(1, once.addRefs());
    EXPECT_EQ(1, once.releases());
    EXPECT_EQ(1, removed.addRefs());
    EXPECT_EQ(1, removed.releases());
}

TEST(ProxyUnload, ReloadingStartsWithAnEmptyRegistry) {
    FakeUnknown object;
    {
        Library first;
        ASSERT_TRUE(first.Loaded()) << dlerror();
        void* handle = nullptr;
        ASSERT_EQ(S_OK, first.add(object.unknown(), &handle));
        first.Unload();
    }
    Library second;
    ASSERT_TRUE(second.Loaded()) << dlerror();
    IUnknown* out = nullptr;
    EXPECT_EQ(E_FAIL, second.get(object.unknown(), &out));
    EXPECT_EQ(E_INVALIDARG, second.remove(object.unknown()));
    second.Unload();
    EXPECT_EQ(1, object.addRefs());
    EXPECT_EQ(1, object.releases());
}

}  // namespace
