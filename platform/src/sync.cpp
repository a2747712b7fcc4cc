#include "platform/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/waitable.h"

namespace platform {

// ---- Handle table -----------------------------------------------------------------------------------
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    std::uintptr_t next = 0x100;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable; // outlives every static that may close a handle
    return *table;
}

} // namespace

HANDLE MakeHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = Handles();
    std::lock_guard guard(t.lock);
    std::uintptr_t h = t.next;
    t.next += 4;
    t.objects.emplace(h, std::move(object));
    return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    HandleTable& t = Handles();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

// ---- Waitable objects ---------------------------------------------------------------------------------
// One lock guards the state of every waitable object, so a wait on several objects sees a consistent
// picture and can consume an auto-reset event atomically with the check.
std::mutex& WaitLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

void Waitable::SignalLocked() {
    m_signalled = true;
    for (std::condition_variable* cv : m_waiters)
        cv->notify_all();
}

void Waitable::Signal() {
    std::lock_guard guard(WaitLock());
    SignalLocked();
}

void Waitable::Unsignal() {
    std::lock_guard guard(WaitLock());
    m_signalled = false;
}

bool Waitable::TryAcquireLocked() {
    if (!m_signalled)
        return false;
    if (!m_manualReset)
        m_signalled = false;
    return true;
}

namespace {

DWORD WaitOn(std::vector<std::shared_ptr<Waitable>>& objs, bool waitAll, DWORD ms) {
    using Clock = std::chrono::steady_clock;
    const bool forever = ms == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : ms);
    std::condition_variable cv;
    std::unique_lock guard(WaitLock());
    for (;;) {
        if (waitAll) {
            bool all = std::all_of(objs.begin(), objs.end(), [](auto& o) { return o->IsSignalledLocked(); });
            if (all) {
                for (auto& o : objs)
                    o->TryAcquireLocked();
                return WAIT_OBJECT_0;
            }
        } else {
            for (std::size_t i = 0; i < objs.size(); ++i)
                if (objs[i]->TryAcquireLocked())
                    return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
        if (!forever && Clock::now() >= deadline)
            return WAIT_TIMEOUT;
        for (auto& o : objs)
            o->m_waiters.push_back(&cv);
        if (forever)
            cv.wait(guard);
        else
            cv.wait_until(guard, deadline);
        for (auto& o : objs)
            std::erase(o->m_waiters, &cv);
    }
}

class EventObject final : public Waitable {
public:
    EventObject(bool manual, bool initial) : Waitable(manual, initial) {}
};

// A thread's handle: signalled once its routine returns.
class ThreadObject final : public Waitable {
public:
    ThreadObject() : Waitable(true, false) {}
    ~ThreadObject() override {
        if (m_thread.joinable())
            m_thread.detach();
    }
    std::thread m_thread;
    std::atomic<DWORD> m_exitCode{STILL_ACTIVE};
};

} // namespace
} // namespace platform

using namespace platform;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return MakeHandle(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
    auto obj = LookupHandleAs<EventObject>(event);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj->Signal();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto obj = LookupHandleAs<EventObject>(event);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj->Unsignal();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> objs;
    objs.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto obj = LookupHandleAs<Waitable>(handles[i]);
        if (!obj) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objs.push_back(std::move(obj));
    }
    return WaitOn(objs, waitAll != FALSE, milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> obj;
    {
        auto& t = platform::Handles();
        std::lock_guard guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == t.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        obj = std::move(it->second);
        t.objects.erase(it);
    }
    obj->OnClose();
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD,
                    DWORD* threadId) {
    auto obj = std::make_shared<ThreadObject>();
    std::weak_ptr<ThreadObject> weak = obj;
    // The thread holds its own reference, so closing the handle early leaves it running to the end.
    obj->m_thread = std::thread([obj, start, param]() {
        DWORD rc = start(param);
        obj->m_exitCode = rc;
        obj->Signal();
    });
    if (threadId)
        *threadId = static_cast<DWORD>(std::hash<std::thread::id>{}(obj->m_thread.get_id()));
    // The std::thread is detached: waits go through the handle, which is signalled at the end.
    obj->m_thread.detach();
    return MakeHandle(obj);
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
    auto obj = LookupHandleAs<ThreadObject>(thread);
    if (!obj || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = obj->m_exitCode;
    return TRUE;
}

// ---- CAMEvent and CAMThread -------------------------------------------------------------------------------
CAMEvent::CAMEvent(BOOL manualReset, BOOL initialState)
    : m_hEvent(CreateEventA(nullptr, manualReset, initialState, nullptr)) {}

CAMEvent::~CAMEvent() {
    CloseHandle(m_hEvent);
}

CAMThread::CAMThread() : m_EventSend(TRUE), m_EventComplete(FALSE) {}

CAMThread::~CAMThread() {
    Close();
}

BOOL CAMThread::ThreadExists() const {
    return m_hThread != nullptr;
}

DWORD CAMThread::InitialThreadProc(LPVOID param) {
    auto* self = static_cast<CAMThread*>(param);
    return self->ThreadProc();
}

BOOL CAMThread::Create() {
    CAutoLock lock(&m_AccessLock);
    if (ThreadExists())
        return FALSE;
    m_hThread = CreateThread(nullptr, 0, &CAMThread::InitialThreadProc, this, 0, nullptr);
    return m_hThread != nullptr;
}

void CAMThread::Close() {
    HANDLE h = m_hThread;
    if (h) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
        m_hThread = nullptr;
    }
}

DWORD CAMThread::CallWorker(DWORD param) {
    CAutoLock lock(&m_AccessLock);
    if (!ThreadExists())
        return static_cast<DWORD>(E_FAIL);
    m_dwParam = param;
    m_EventSend.Set();
    m_EventComplete.Wait();
    return m_dwReturnVal;
}

DWORD CAMThread::GetRequest() {
    m_EventSend.Wait();
    return m_dwParam;
}

BOOL CAMThread::CheckRequest(DWORD* param) {
    if (WaitForSingleObject(m_EventSend, 0) != WAIT_OBJECT_0)
        return FALSE;
    if (param)
        *param = m_dwParam;
    return TRUE;
}

void CAMThread::Reply(DWORD result) {
    m_dwReturnVal = result;
    // The request event is manual-reset so CheckRequest can look without consuming; the reply ends it.
    m_EventSend.Reset();
    m_EventComplete.Set();
}
