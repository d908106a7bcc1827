// A current error stored by exit code that runs after a thread's own
// destructors (another pthread key's destructor, an at-exit handler) is
// released exactly once by the time the thread or the process ends, and one
// stored after the thread's current error was released takes no reference.
//
// Its own program, not a GoogleTest case: the order of pthread keys and of
// at-exit handlers against the runtime's own is set up from a fresh process.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "automation/errorinfo/errorinfo.h"
#include "support/fake_error_info.h"

namespace {

using zentrel::test::FakeErrorInfo;

FakeErrorInfo gObject;
int gFailures = 0;

void Expect(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "thread_exit_order: %s (AddRef %d, Release %d)\n", what, gObject.addRefs(),
                 gObject.releases());
    ++gFailures;
}

void Store(void* /*value*/) { SetErrorInfo(0, &gObject); }

// A thread whose only call of the runtime comes from `key`'s destructor.
void StoreFromKeyDestructor(pthread_key_t key) {
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void* k) -> void* {
            static int marker;
            pthread_setspecific(*static_cast<pthread_key_t*>(k), &marker);
            return nullptr;
        },
        &key);
    pthread_join(thread, nullptr);
}

// Runs `body` in a child process, which ends through exit; the child's
// at-exit handlers report through its exit status.
int InChild(void (*body)()) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        body();
        std::exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Runs last: by now whatever the handlers stored must have been released, and
// a store after the end takes nothing.
void CheckAtExit() {
    SetErrorInfo(0, &gObject);
    _exit(gObject.outstanding() == 0 && gObject.addRefs() <= 1 ? 0 : 1);
}

}  // namespace

int main() {
    // At exit, the first call of the thread comes from a handler that runs
    // after its thread_local destructors.
    Expect(InChild([] {
               std::atexit(CheckAtExit);
               std::atexit([] { Store(nullptr); });
           }) == 0,
           "a current error first stored by an at-exit handler was not released once");
    // The slot existed and ended with the thread_local destructors: a later
    // handler stores nothing.
    Expect(InChild([] {
               std::atexit(CheckAtExit);
               IErrorInfo* none = nullptr;
               GetErrorInfo(0, &none);
               std::atexit([] { Store(nullptr); });
           }) == 0,
           "a current error stored after the thread's end was kept");

    // Keys made before and after the runtime's own (made with the process's
    // first slot, here on this thread).
    pthread_key_t before, after;
    pthread_key_create(&before, Store);
    IErrorInfo* none = nullptr;
    GetErrorInfo(0, &none);
    pthread_key_create(&after, Store);
    for (pthread_key_t key : {before, after}) {
        StoreFromKeyDestructor(key);
        Expect(gObject.outstanding() == 0 && gObject.addRefs() == gObject.releases(),
               "a current error stored by a pthread key destructor was not released once");
    }
    SetErrorInfo(0, nullptr);
    return gFailures == 0 ? 0 : 1;
}
