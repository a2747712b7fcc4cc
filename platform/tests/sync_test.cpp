#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sync.h"
#include "platform/system.h"

namespace {

TEST(Events, AutoResetIsConsumedByOneWaitManualResetStays) {
    HANDLE autoEv = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE manualEv = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manualEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manualEv, 0), WAIT_OBJECT_0);
    ResetEvent(manualEv);
    EXPECT_EQ(WaitForSingleObject(manualEv, 0), WAIT_TIMEOUT);
    CloseHandle(autoEv);
    CloseHandle(manualEv);
}

TEST(Events, TimedWaitTimesOutAndClosedHandleFails) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 30), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(ev));
}

TEST(Events, WaitOnTwoReturnsTheOneSetAndConsumesOnlyIt) {
    HANDLE evs[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                     CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::thread setter([&] {
        Sleep(20);
        SetEvent(evs[1]);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, evs, FALSE, 5000), WAIT_OBJECT_0 + 1);
    setter.join();
    // Both set: the first wins, the second stays signalled.
    SetEvent(evs[0]);
    SetEvent(evs[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, FALSE, 0), WAIT_TIMEOUT);
    // Wait-all needs both.
    SetEvent(evs[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, 10), WAIT_TIMEOUT);
    SetEvent(evs[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, 0), WAIT_OBJECT_0);
    CloseHandle(evs[0]);
    CloseHandle(evs[1]);
}

TEST(Threads, HandleIsSignalledWithTheExitCode) {
    static DWORD input = 41;
    HANDLE t = CreateThread(
        nullptr, 0, [](LPVOID p) -> DWORD { return *static_cast<DWORD*>(p) + 1; }, &input, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(t);
}

// A worker that doubles requests until it is told 0 (exit).
class Doubler : public CAMThread {
    DWORD ThreadProc() override {
        for (;;) {
            DWORD req = GetRequest();
            Reply(req * 2);
            if (req == 0)
                return 0;
        }
    }
};

TEST(CAMThread, CallWorkerGetsTheReplyAndCloseJoins) {
    Doubler d;
    EXPECT_FALSE(d.ThreadExists());
    ASSERT_TRUE(d.Create());
    EXPECT_FALSE(d.Create());
    EXPECT_EQ(d.CallWorker(21), 42u);
    EXPECT_EQ(d.CallWorker(5), 10u);
    EXPECT_EQ(d.CallWorker(0), 0u);
    d.Close();
    EXPECT_FALSE(d.ThreadExists());
}

// CheckRequest lets a busy worker notice a request without consuming it until it replies.
class Poller : public CAMThread {
public:
    DWORD ThreadProc() override {
        DWORD req = GetRequest(); // start
        Reply(1);
        DWORD cmd = 0;
        while (!CheckRequest(&cmd))
            Sleep(1);
        EXPECT_TRUE(CheckRequest(nullptr)); // still pending until the reply
        Reply(cmd + req);
        return 0;
    }
};

TEST(CAMThread, CheckRequestSeesAPendingRequest) {
    Poller p;
    ASSERT_TRUE(p.Create());
    EXPECT_EQ(p.CallWorker(100), 1u);
    EXPECT_EQ(p.CallWorker(7), 107u);
    p.Close();
}

} // namespace
