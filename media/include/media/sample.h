// Media samples and the memory allocator that hands them out.
//
// A sample is reference counted on its own; when its last reference goes it returns to its allocator's
// free list. GetBuffer blocks while every sample is out; Decommit releases every such wait with
// VFW_E_NOT_COMMITTED, and the memory is freed once the last outstanding sample has come back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "media/interfaces.h"

class CBaseAllocator;

class CMediaSample : public IMediaSample {
public:
    CMediaSample(const char* name, CBaseAllocator* allocator, HRESULT* phr, BYTE* buffer = nullptr,
                 LONG length = 0);
    virtual ~CMediaSample();
    CMediaSample(const CMediaSample&) = delete;
    CMediaSample& operator=(const CMediaSample&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetPointer(BYTE** buffer) override;
    LONG GetSize() override;
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT IsSyncPoint() override;
    HRESULT SetSyncPoint(BOOL sync) override;
    HRESULT IsPreroll() override;
    HRESULT SetPreroll(BOOL preroll) override;
    LONG GetActualDataLength() override;
    HRESULT SetActualDataLength(LONG length) override;
    HRESULT GetMediaType(AM_MEDIA_TYPE** type) override;
    HRESULT SetMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT IsDiscontinuity() override;
    HRESULT SetDiscontinuity(BOOL discontinuity) override;
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end) override;
    HRESULT SetMediaTime(LONGLONG* start, LONGLONG* end) override;

    // Points the sample at a buffer (allocators do this when committing).
    HRESULT SetPointer(BYTE* buffer, LONG length);
    // Clears the per-delivery properties before the sample is handed out again.
    void ResetProperties();

protected:
    friend class CBaseAllocator;

    // Property flags.
    enum : DWORD {
        Sample_SyncPoint = 0x01,
        Sample_Preroll = 0x02,
        Sample_Discontinuity = 0x04,
        Sample_TypeChanged = 0x08,
        Sample_TimeValid = 0x10,
        Sample_MediaTimeValid = 0x20,
        Sample_StopValid = 0x100,
    };

    DWORD m_dwFlags = 0;
    BYTE* m_pBuffer = nullptr;
    LONG m_lActual = 0;
    LONG m_cbBuffer = 0;
    CBaseAllocator* m_pAllocator;
    REFERENCE_TIME m_Start = 0;
    REFERENCE_TIME m_End = 0;
    LONGLONG m_MediaStart = 0;
    LONGLONG m_MediaEnd = 0;
    AM_MEDIA_TYPE* m_pMediaType = nullptr;
    std::atomic<LONG> m_cRef{0};
};

// Allocator state and the blocking free list; derived classes own the memory.
class CBaseAllocator : public CUnknown, public IMemAllocator {
public:
    CBaseAllocator(const char* name, LPUNKNOWN outer, HRESULT* phr);
    ~CBaseAllocator() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                      DWORD flags) override;
    HRESULT ReleaseBuffer(IMediaSample* sample) override;

    bool IsCommitted() const;

protected:
    // Creates the samples and their memory (called under the lock by Commit).
    virtual HRESULT Alloc() = 0;
    // Frees the samples and their memory once all of them are back (called under the lock).
    virtual void Free() = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_freeChanged;
    std::vector<CMediaSample*> m_lFree; // samples available to GetBuffer
    std::vector<std::unique_ptr<CMediaSample>> m_samples;
    LONG m_lCount = 0; // buffers
    LONG m_lSize = 0;
    LONG m_lAlignment = 1;
    LONG m_lPrefix = 0;
    bool m_bCommitted = false;
    bool m_bDecommitInProgress = false;
    bool m_bChanged = false; // properties changed since the last Alloc
};

// The standard allocator: one block of memory carved into equal buffers.
class CMemAllocator : public CBaseAllocator {
public:
    CMemAllocator(const char* name, LPUNKNOWN outer, HRESULT* phr);
    ~CMemAllocator() override;
    HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    // A new allocator with one reference, as the class factory would give it.
    static HRESULT Create(IMemAllocator** out);

protected:
    HRESULT Alloc() override;
    void Free() override;

private:
    std::unique_ptr<BYTE[]> m_pBuffer;
};
