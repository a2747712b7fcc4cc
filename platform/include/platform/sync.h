// Kernel-object stand-ins: handles, events, waits, threads and critical sections with the Win32
// semantics the filters rely on (auto and manual reset, timed waits, waiting on several at once).
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/hresult.h"

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name);
inline HANDLE CreateEvent(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name) {
    return CreateEventA(sa, manualReset, initialState, name);
}
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// A thread whose handle becomes signalled when it returns.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID param, DWORD flags, DWORD* threadId);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
constexpr DWORD STILL_ACTIVE = 259;

namespace platform {

// Base of everything a HANDLE can name. Handles are entries of a process-wide table, so a closed or
// made-up handle is reported as ERROR_INVALID_HANDLE instead of touching freed memory, and an object
// lives until the last call using it returns.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called when CloseHandle removes the last handle.
    virtual void OnClose() {}
};

HANDLE MakeHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

// The object behind a handle as T, or null. The typed pointer shares the looked-up reference (moved,
// not copied): every file transfer and event call goes through here.
template <class T> std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    std::shared_ptr<KernelObject> obj = LookupHandle(handle);
    T* typed = dynamic_cast<T*>(obj.get());
    if (!typed)
        return nullptr;
    return std::shared_ptr<T>(std::move(obj), typed);
}

} // namespace platform

// ---- Critical sections ------------------------------------------------------------------------------
struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
inline void InitializeCriticalSection(CRITICAL_SECTION*) {}
inline void DeleteCriticalSection(CRITICAL_SECTION*) {}
inline void EnterCriticalSection(CRITICAL_SECTION* cs) {
    cs->mutex.lock();
}
inline void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    cs->mutex.unlock();
}
inline BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
    return cs->mutex.try_lock() ? TRUE : FALSE;
}

// A recursive lock, as the media framework's critical section object.
class CCritSec {
public:
    CCritSec() = default;
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }
    // BasicLockable, so std::lock_guard and std::condition_variable_any work with it.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

private:
    std::recursive_mutex m_mutex;
};

class CAutoLock {
public:
    explicit CAutoLock(CCritSec* lock) : m_lock(lock) { m_lock->Lock(); }
    ~CAutoLock() { m_lock->Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCritSec* m_lock;
};

// An event owned by an object: created with the object, closed with it.
class CAMEvent {
public:
    explicit CAMEvent(BOOL manualReset = FALSE, BOOL initialState = FALSE);
    ~CAMEvent();
    CAMEvent(const CAMEvent&) = delete;
    CAMEvent& operator=(const CAMEvent&) = delete;

    operator HANDLE() const { return m_hEvent; }
    HANDLE Handle() const { return m_hEvent; }
    void Set() { SetEvent(m_hEvent); }
    void Reset() { ResetEvent(m_hEvent); }
    BOOL Wait(DWORD timeout = INFINITE) { return WaitForSingleObject(m_hEvent, timeout) == WAIT_OBJECT_0; }
    // True when signalled; an auto-reset event is consumed by the check.
    BOOL Check() { return Wait(0); }

private:
    HANDLE m_hEvent;
};

class CAMManualEvent : public CAMEvent {
public:
    explicit CAMManualEvent(BOOL initialState = FALSE) : CAMEvent(TRUE, initialState) {}
};

// A worker thread that takes requests one at a time: the caller blocks in CallWorker until the worker
// replies. Request 0 is free for the derived class to use; the thread ends when ThreadProc returns.
class CAMThread {
public:
    CAMThread();
    virtual ~CAMThread();
    CAMThread(const CAMThread&) = delete;
    CAMThread& operator=(const CAMThread&) = delete;

    BOOL Create();
    BOOL ThreadExists() const;
    // Waits for the thread to return and releases it.
    void Close();
    HANDLE GetRequestHandle() const { return m_EventSend.Handle(); }
    DWORD GetRequestParam() const { return m_dwParam; }

    // Caller side: send a request and wait for the reply.
    DWORD CallWorker(DWORD param);
    // Worker side.
    DWORD GetRequest();
    BOOL CheckRequest(DWORD* param);
    void Reply(DWORD result);

    CCritSec m_AccessLock; // serialises callers
    CCritSec m_WorkerLock; // may be held by the worker while it works

protected:
    virtual DWORD ThreadProc() = 0;

private:
    static DWORD InitialThreadProc(LPVOID param);

    CAMEvent m_EventSend;
    CAMEvent m_EventComplete;
    DWORD m_dwParam = 0;
    DWORD m_dwReturnVal = 0;
    HANDLE m_hThread = nullptr;
};
