// The open runs on a worker thread while another thread polls the scan progress and may cancel it,
// as the reader's progress dialog does.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "orma_test_util.h"

namespace orma {
namespace {

simorma::Options ManyClusters() {
    simorma::Options o = test::SmallImage();
    o.clusterCount = 3000;
    o.sparseContent = true;
    o.framesPerBlock = 1;
    o.segments = {{1, 2500, simorma::SecondsOf(2012, 5, 1, 0, 0, 0), 86400, 0, 2}};
    return o;
}

TEST(OrmaThreads, ProgressIsPolledWhileTheScanRuns) {
    test::Recording rec("threads.orm", ManyClusters());
    ASSERT_EQ(rec.result.error, "");
    COrmaDisk disk(nullptr);
    std::atomic<bool> done{false};
    HRESULT hr = E_UNEXPECTED;
    std::thread worker([&] {
        hr = disk.OpenDisk(0, rec.path.c_str());
        done = true;
    });
    UINT last = 0;
    while (!done) {
        UINT permille = 0;
        disk.GetScanProgress(&permille, 0);
        EXPECT_GE(permille, last);
        EXPECT_LE(permille, 1000u);
        last = permille;
        std::this_thread::yield();
    }
    worker.join();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(disk.ClusterCount(), 3000u);
}

TEST(OrmaThreads, CancelFromAnotherThreadFailsTheOpen) {
    test::Recording rec("cancel_threads.orm", ManyClusters());
    COrmaDisk disk(nullptr);
    std::atomic<bool> done{false};
    HRESULT hr = E_UNEXPECTED;
    std::thread worker([&] {
        hr = disk.OpenDisk(0, rec.path.c_str());
        done = true;
    });
    UINT permille = 0;
    while (!done && permille == 0)
        disk.GetScanProgress(&permille, 0);
    disk.GetScanProgress(&permille, 1);
    worker.join();
    // Either the cancel came in time, or the scan had already finished.
    if (hr != S_OK) {
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_FALSE(disk.IsOpen());
    }
    EXPECT_EQ(disk.OpenDisk(0, rec.path.c_str()), E_FAIL);
}

} // namespace
} // namespace orma
