// The COM-style object model of kernel-mode audio: IUnknown with GUID-keyed
// QueryInterface returning NTSTATUS, and the method declaration macros the
// port-class interfaces are written with.
#pragma once

#include "platform/kernel/kernel.h"

#define STDMETHOD(method) virtual NTSTATUS method
#define STDMETHOD_(type, method) virtual type method
#define STDMETHODIMP NTSTATUS
#define STDMETHODIMP_(type) type
#define PURE = 0
#define DECLARE_INTERFACE(iface) struct iface
#define DECLARE_INTERFACE_(iface, base) struct iface : public base

DEFINE_GUID(IID_IUnknown, 0x00000000L, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

DECLARE_INTERFACE(IUnknown)
{
    STDMETHOD(QueryInterface)(REFIID interfaceId, PVOID * object) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* PUNKNOWN;

// The three IUnknown methods as a class implementing an interface declares them.
#define DEFINE_ABSTRACT_UNKNOWN()                                                                  \
    STDMETHOD(QueryInterface)(REFIID interfaceId, PVOID * object) PURE;                            \
    STDMETHOD_(ULONG, AddRef)() PURE;                                                              \
    STDMETHOD_(ULONG, Release)() PURE;
