// The system reference clock: 100 ns units from a monotonic source, shared by a graph's filters.
#pragma once

#include "media/interfaces.h"

class CSystemClock : public CUnknown, public IReferenceClock {
public:
    CSystemClock(const char* name, LPUNKNOWN outer, HRESULT* phr);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT GetTime(REFERENCE_TIME* time) override;
    // Advise requests are not offered: filters wait on their own with GetTime.
    HRESULT AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HANDLE, DWORD_PTR*) override { return E_NOTIMPL; }
    HRESULT AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HANDLE, DWORD_PTR*) override { return E_NOTIMPL; }
    HRESULT Unadvise(DWORD_PTR) override { return E_NOTIMPL; }

    static HRESULT Create(IReferenceClock** out);
};

namespace media {
// The monotonic time the system clock reports, in 100 ns units.
REFERENCE_TIME MonotonicTime();
} // namespace media
