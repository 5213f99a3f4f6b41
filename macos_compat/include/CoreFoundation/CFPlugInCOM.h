// Stand-in for <CoreFoundation/CFPlugInCOM.h>: the COM conventions of plug-in interfaces (the
// non-Windows branch of Apple's header).
#pragma once

#include <CoreFoundation/CFUUID.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
// A 16-byte struct passed by value, not a pointer.
typedef CFUUIDBytes REFIID;

#define SUCCEEDED(Status) ((HRESULT)(Status) >= 0)
#define FAILED(Status) ((HRESULT)(Status) < 0)

#define S_OK ((HRESULT)0x00000000L)
#define S_FALSE ((HRESULT)0x00000001L)
#define E_NOTIMPL ((HRESULT)0x80000001L)
#define E_NOINTERFACE ((HRESULT)0x80000004L)
#define E_FAIL ((HRESULT)0x80000008L)

#define STDMETHODCALLTYPE

#define IUnknownUUID                                                                                                        \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorSystemDefault, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00,  \
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

#define IUNKNOWN_C_GUTS                                                                \
    void* _reserved;                                                                   \
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
    ULONG(STDMETHODCALLTYPE* AddRef)(void* thisPointer);                               \
    ULONG(STDMETHODCALLTYPE* Release)(void* thisPointer)

typedef struct IUnknownVTbl {
    IUNKNOWN_C_GUTS;
} IUnknownVTbl;

#ifdef __cplusplus
}
static_assert(sizeof(IUnknownVTbl) == 32, "IUnknownVTbl layout");
#endif
