// Creation functions of the stock objects, as the module's factory table uses them.
#pragma once

#include "platform/com.h"

CUnknown* CreateFilterGraph(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateCaptureGraphBuilder(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateDeviceEnumerator(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateVideoRenderer(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateNullRenderer(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateAudioRenderer(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateAviMux(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateFileWriter(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateFileSource(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateAviSplitter(LPUNKNOWN outer, HRESULT* phr);
CUnknown* CreateMjpegCompressor(LPUNKNOWN outer, HRESULT* phr);
