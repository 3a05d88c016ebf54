// Threads on POSIX: pthreads behind Windows-like handles.
//
// A handle is a record in a fixed table. The thread routine runs inside a small trampoline that
// marks the record finished as its last step. Every thread is eventually joined, never detached:
// a handle closed after its thread ended joins it at once; a handle closed while its thread still
// runs leaves the record "released", and such records are joined later (when the next thread is
// created, or by JoinReleasedThreads when the library is unloaded). Joining matters because the
// library may be unmapped right after its unload code has run: a thread must not still be on its
// way out through the library's code at that point.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/platform.h"
#include "platform/posix/threads.h"

namespace vexlor::platform {
namespace {

constexpr int kThreadRecords = 256;

struct ThreadRecord {
    bool used = false;        // guarded by g_lock
    bool handleOpen = false;  // guarded by g_lock
    bool joined = false;      // guarded by g_lock
    pthread_t thread{};
    ThreadRoutine routine = nullptr;
    void* argument = nullptr;
    std::atomic<bool> finished{false};
    // Written by the thread itself before its routine runs, so that it can find its record.
    std::atomic<pthread_t> self{};
    std::atomic<bool> selfKnown{false};
};

ThreadRecord g_records[kThreadRecords];
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint32_t> g_nextThreadId{1};

void SleepOneMs() {
    timespec delay{0, 1000000};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void* Trampoline(void* parameter) {
    auto* record = static_cast<ThreadRecord*>(parameter);
    record->self.store(pthread_self(), std::memory_order_relaxed);
    record->selfKnown.store(true, std::memory_order_release);
    record->routine(record->argument);
    record->finished.store(true, std::memory_order_release);
    return nullptr;
}

// Index of a handle's record, or -1 for anything that is not a live handle. Handles are
// (index + 1) * 4, small numbers like the handles of the Windows build.
int RecordIndex(ThreadHandle handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % 4 != 0) return -1;
    const uintptr_t index = value / 4 - 1;
    return index < static_cast<uintptr_t>(kThreadRecords) ? static_cast<int>(index) : -1;
}

ThreadHandle HandleOf(int index) {
    return reinterpret_cast<ThreadHandle>(static_cast<uintptr_t>(index + 1) * 4);
}

// With g_lock held: joins a finished thread once.
void JoinLocked(ThreadRecord& record) {
    if (record.joined) return;
    pthread_join(record.thread, nullptr);
    record.joined = true;
}

// With g_lock held: joins and frees every released record whose thread has ended.
void ReapLocked() {
    for (ThreadRecord& record : g_records) {
        if (record.used && !record.handleOpen && record.finished.load(std::memory_order_acquire)) {
            JoinLocked(record);
            record.used = false;
        }
    }
}

}  // namespace

ThreadHandle CreateThread(ThreadRoutine routine, void* argument, uint32_t* threadId) {
    pthread_mutex_lock(&g_lock);
    ReapLocked();
    int index = -1;
    for (int i = 0; i < kThreadRecords; ++i) {
        if (!g_records[i].used) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        pthread_mutex_unlock(&g_lock);
        errno = EAGAIN;  // as pthread_create reports a lack of thread resources
        return nullptr;
    }
    ThreadRecord& record = g_records[index];
    record.routine = routine;
    record.argument = argument;
    record.joined = false;
    record.handleOpen = true;
    record.finished.store(false, std::memory_order_relaxed);
    record.selfKnown.store(false, std::memory_order_relaxed);
    const int created = pthread_create(&record.thread, nullptr, Trampoline, &record);
    if (created != 0) {
        record.handleOpen = false;
        pthread_mutex_unlock(&g_lock);
        errno = created;
        return nullptr;
    }
    record.used = true;
    pthread_mutex_unlock(&g_lock);
    const uint32_t id = g_nextThreadId.fetch_add(1);
    if (threadId != nullptr) *threadId = id;
    return HandleOf(index);
}

uint32_t ThreadStartError() {
    return errno == EAGAIN || errno == ENOMEM ? 8u : 0u;  // ERROR_NOT_ENOUGH_MEMORY
}

bool CurrentThreadArgument(void** argument) {
    const pthread_t self = pthread_self();
    bool found = false;
    pthread_mutex_lock(&g_lock);
    for (const ThreadRecord& record : g_records) {
        if (record.used && !record.finished.load(std::memory_order_acquire) &&
            record.selfKnown.load(std::memory_order_acquire) &&
            pthread_equal(record.self.load(std::memory_order_relaxed), self)) {
            if (argument != nullptr) *argument = record.argument;
            found = true;
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return found;
}

int CloseThreadHandle(ThreadHandle handle) {
    const int index = RecordIndex(handle);
    if (index < 0) return 0;
    pthread_mutex_lock(&g_lock);
    ThreadRecord& record = g_records[index];
    int result = 0;
    if (record.used && record.handleOpen) {
        record.handleOpen = false;
        if (record.finished.load(std::memory_order_acquire)) {
            JoinLocked(record);
            record.used = false;
        }
        result = 1;
    }
    pthread_mutex_unlock(&g_lock);
    return result;
}

bool WaitThread(ThreadHandle handle, uint32_t timeoutMs) {
    const int index = RecordIndex(handle);
    if (index < 0) return false;
    ThreadRecord& record = g_records[index];
    uint32_t waited = 0;
    while (!record.finished.load(std::memory_order_acquire)) {
        if (waited >= timeoutMs) return false;
        SleepOneMs();
        ++waited;
    }
    pthread_mutex_lock(&g_lock);
    if (record.used && record.handleOpen) JoinLocked(record);
    pthread_mutex_unlock(&g_lock);
    return true;
}

int SetCurrentThreadPriorityNormal() {
    sched_param parameter{};
    parameter.sched_priority = 0;
    return pthread_setschedparam(pthread_self(), SCHED_OTHER, &parameter) == 0 ? 1 : 0;
}

int32_t ThreadHandleValue(ThreadHandle thread) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(thread)));
}

namespace posix {

int JoinReleasedThreads(uint32_t timeoutMs) {
    uint32_t waited = 0;
    for (;;) {
        int running = 0;
        pthread_mutex_lock(&g_lock);
        ReapLocked();
        for (const ThreadRecord& record : g_records) {
            if (record.used && !record.handleOpen) ++running;
        }
        pthread_mutex_unlock(&g_lock);
        if (running == 0 || waited >= timeoutMs) return running;
        SleepOneMs();
        ++waited;
    }
}

}  // namespace posix
}  // namespace vexlor::platform
