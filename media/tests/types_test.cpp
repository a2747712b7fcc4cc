#include <gtest/gtest.h>

#include <thread>

#include "media/streams.h"

TEST(MediaTypes, RegisteredGuidValues) {
    struct Case {
        GUID id;
        const char* text;
    } cases[] = {
        {MEDIATYPE_Video, "{73646976-0000-0010-8000-00AA00389B71}"},
        {MEDIATYPE_Audio, "{73647561-0000-0010-8000-00AA00389B71}"},
        {MEDIATYPE_Stream, "{E436EB83-524F-11CE-9F53-0020AF0BA770}"},
        {MEDIASUBTYPE_RGB32, "{E436EB7E-524F-11CE-9F53-0020AF0BA770}"},
        {MEDIASUBTYPE_MJPG, "{47504A4D-0000-0010-8000-00AA00389B71}"},
        {MEDIASUBTYPE_PCM, "{00000001-0000-0010-8000-00AA00389B71}"},
        {MEDIASUBTYPE_Avi, "{E436EB88-524F-11CE-9F53-0020AF0BA770}"},
        {FORMAT_VideoInfo, "{05589F80-C356-11CE-BF01-00AA0055595A}"},
        {FORMAT_WaveFormatEx, "{05589F81-C356-11CE-BF01-00AA0055595A}"},
        {IID_IBaseFilter, "{56A86895-0AD4-11CE-B03A-0020AF0BA770}"},
        {IID_IMediaControl, "{56A868B1-0AD4-11CE-B03A-0020AF0BA770}"},
        {CLSID_FilterGraph, "{E436EBB3-524F-11CE-9F53-0020AF0BA770}"},
        {CLSID_VideoRenderer, "{70E102B0-5556-11CE-97C0-00AA0055595A}"},
        {CLSID_NullRenderer, "{C1F400A4-3F08-11D3-9F0B-006008039E37}"},
        {CLSID_MJPGEnc, "{B80AB0A0-7416-11D2-9EEB-006008039E37}"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::GuidToString(c.id), c.text);
    EXPECT_TRUE(IsRgbSubtype(MEDIASUBTYPE_RGB565));
    EXPECT_FALSE(IsRgbSubtype(MEDIASUBTYPE_YUY2));
}

TEST(MediaTypes, VideoInfoHeaderIsByteExact) {
    VIDEOINFOHEADER v;
    v.rcSource = {1, 2, 720, 288};
    v.rcTarget = {3, 4, 5, 6};
    v.dwBitRate = 7;
    v.dwBitErrorRate = 0x1234;
    v.AvgTimePerFrame = 0x0102030405060708LL;
    v.bmiHeader.biSize = 40;
    v.bmiHeader.biWidth = 720;
    v.bmiHeader.biHeight = -288;
    v.bmiHeader.biPlanes = 1;
    v.bmiHeader.biBitCount = 24;
    v.bmiHeader.biCompression = MAKEFOURCC('M', 'J', 'P', 'G');
    v.bmiHeader.biSizeImage = 1036800;
    BYTE raw[VIDEOINFOHEADER::kSize] = {};
    v.Write(raw);
    EXPECT_EQ(raw[8], 720 & 0xFF); // rcSource.right
    EXPECT_EQ(raw[32], 7);         // dwBitRate
    EXPECT_EQ(raw[40], 0x08);      // AvgTimePerFrame, low byte first
    EXPECT_EQ(raw[47], 0x01);
    EXPECT_EQ(raw[48], 40);   // bmiHeader.biSize
    EXPECT_EQ(raw[56], 0xE0); // biHeight -288 = 0xFFFFFEE0
    EXPECT_EQ(raw[59], 0xFF);
    EXPECT_EQ(std::memcmp(raw + 64, "MJPG", 4), 0); // biCompression as its four letters
    VIDEOINFOHEADER back = VIDEOINFOHEADER::Read(raw);
    EXPECT_EQ(back.rcSource.bottom, 288);
    EXPECT_EQ(back.AvgTimePerFrame, v.AvgTimePerFrame);
    EXPECT_EQ(back.bmiHeader.biHeight, -288);
    EXPECT_EQ(back.bmiHeader.biSizeImage, 1036800u);
}

TEST(MediaTypes, WaveFormatIsByteExact) {
    WAVEFORMATEX w;
    w.wFormatTag = 1;
    w.nChannels = 2;
    w.nSamplesPerSec = 8820;
    w.nAvgBytesPerSec = 17640;
    w.nBlockAlign = 2;
    w.wBitsPerSample = 8;
    BYTE raw[WAVEFORMATEX::kSize];
    w.Write(raw);
    const BYTE expected[18] = {1, 0, 2, 0, 0x74, 0x22, 0, 0, 0xE8, 0x44, 0, 0, 2, 0, 8, 0, 0, 0};
    EXPECT_EQ(std::memcmp(raw, expected, 18), 0);
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    ASSERT_TRUE(SetWaveFormat(mt, w));
    EXPECT_EQ(mt.FormatLength(), 18u);
    WAVEFORMATEX back;
    ASSERT_TRUE(GetWaveFormat(mt, &back));
    EXPECT_EQ(back.nSamplesPerSec, 8820u);
}

TEST(MediaTypes, CopiesOwnTheirFormatBlock) {
    CMediaType a;
    a.SetType(&MEDIATYPE_Video);
    a.AllocFormatBuffer(4)[0] = 9;
    CMediaType b(a);
    b.Format()[0] = 1;
    EXPECT_EQ(a.Format()[0], 9);
    EXPECT_NE(a, b);
    b = a;
    EXPECT_EQ(a, b);
    CMediaType partial;
    partial.SetType(&MEDIATYPE_Video);
    EXPECT_TRUE(a.MatchesPartial(&partial));
    partial.SetSubtype(&MEDIASUBTYPE_RGB24);
    EXPECT_FALSE(a.MatchesPartial(&partial));
}

TEST(Allocator, GetBufferBlocksUntilReleaseAndDecommitReleasesWaiters) {
    IMemAllocator* a = nullptr;
    ASSERT_EQ(CMemAllocator::Create(&a), S_OK);
    ALLOCATOR_PROPERTIES want{1, 100, 1, 0};
    ALLOCATOR_PROPERTIES got;
    ASSERT_EQ(a->SetProperties(&want, &got), S_OK);
    IMediaSample* s = nullptr;
    EXPECT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    ASSERT_EQ(a->Commit(), S_OK);
    ASSERT_EQ(a->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(s->GetSize(), 100);
    EXPECT_EQ(s->SetActualDataLength(101), VFW_E_BUFFER_OVERFLOW);
    REFERENCE_TIME t0 = 5;
    s->SetTime(&t0, nullptr);
    REFERENCE_TIME r0 = 0;
    REFERENCE_TIME r1 = 0;
    EXPECT_EQ(s->GetTime(&r0, &r1), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(r1, 6);
    REFERENCE_TIME stopOnly = 9;
    EXPECT_EQ(s->SetTime(nullptr, &stopOnly), S_OK); // a stop without a start: no times
    EXPECT_EQ(s->GetTime(&r0, &r1), VFW_E_SAMPLE_TIME_NOT_SET);
    IMediaSample* none = nullptr;
    EXPECT_EQ(a->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

    // A second caller waits for the one buffer; releasing it wakes the waiter with the same sample,
    // its properties cleared.
    HRESULT waited = E_FAIL;
    IMediaSample* second = nullptr;
    std::thread t([&] { waited = a->GetBuffer(&second, nullptr, nullptr, 0); });
    s->Release();
    t.join();
    ASSERT_EQ(waited, S_OK);
    EXPECT_EQ(second->GetTime(&r0, &r1), VFW_E_SAMPLE_TIME_NOT_SET);

    // With the buffer out, a waiter is released by decommit.
    std::thread t2([&] { waited = a->GetBuffer(&none, nullptr, nullptr, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a->Decommit();
    t2.join();
    EXPECT_EQ(waited, VFW_E_NOT_COMMITTED);
    EXPECT_EQ(a->SetProperties(&want, &got), VFW_E_BUFFERS_OUTSTANDING);
    second->Release(); // the last sample back frees the memory
    EXPECT_EQ(a->SetProperties(&want, &got), S_OK);
    a->Release();
}
