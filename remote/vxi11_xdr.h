// The VXI-11 messages of the core and abort channels and their XDR routines (as the VXI-11
// interface definition gives them), written against libtirpc's primitives. Variable-length data
// is decoded into malloc'd buffers, which the routines free again under XDR_FREE
// (svc_freeargs).
#pragma once

#include <cstdint>

#include <rpc/rpc.h>

// The core channel's procedures.
enum Vxi11Procedure : std::uint32_t {
    VXI11_CREATE_LINK = 10,
    VXI11_DEVICE_WRITE = 11,
    VXI11_DEVICE_READ = 12,
    VXI11_DEVICE_READSTB = 13,
    VXI11_DEVICE_TRIGGER = 14,
    VXI11_DEVICE_CLEAR = 15,
    VXI11_DEVICE_REMOTE = 16,
    VXI11_DEVICE_LOCAL = 17,
    VXI11_DEVICE_LOCK = 18,
    VXI11_DEVICE_UNLOCK = 19,
    VXI11_DEVICE_ENABLE_SRQ = 20,
    VXI11_DEVICE_DOCMD = 22,
    VXI11_DESTROY_LINK = 23,
    VXI11_CREATE_INTR_CHAN = 25,
    VXI11_DESTROY_INTR_CHAN = 26,
};
// The abort channel's one procedure.
constexpr std::uint32_t VXI11_DEVICE_ABORT = 1;

struct Vxi11Bytes {
    u_int length = 0;
    char* data = nullptr;
};

struct Vxi11CreateLinkParms {
    std::int32_t clientId = 0;
    bool_t lockDevice = 0;
    std::uint32_t lockTimeout = 0;
    char* device = nullptr;
};
struct Vxi11CreateLinkResp {
    std::int32_t error = 0;
    std::int32_t lid = 0;
    u_short abortPort = 0;
    std::uint32_t maxRecvSize = 0;
};
struct Vxi11WriteParms {
    std::int32_t lid = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::int32_t flags = 0;
    Vxi11Bytes data;
};
struct Vxi11WriteResp {
    std::int32_t error = 0;
    std::uint32_t size = 0;
};
struct Vxi11ReadParms {
    std::int32_t lid = 0;
    std::uint32_t requestSize = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::int32_t flags = 0;
    char termChar = 0;
};
struct Vxi11ReadResp {
    std::int32_t error = 0;
    std::int32_t reason = 0;
    Vxi11Bytes data;
};
struct Vxi11ReadStbResp {
    std::int32_t error = 0;
    u_char stb = 0;
};
struct Vxi11GenericParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t ioTimeout = 0;
};
struct Vxi11LockParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lockTimeout = 0;
};
struct Vxi11DocmdResp {
    std::int32_t error = 0;
    Vxi11Bytes dataOut;
};

// The routines, in the form libtirpc's svc_getargs/svc_sendreply take.
bool_t Vxi11XdrCreateLinkParms(XDR* x, Vxi11CreateLinkParms* p);
bool_t Vxi11XdrCreateLinkResp(XDR* x, Vxi11CreateLinkResp* p);
bool_t Vxi11XdrWriteParms(XDR* x, Vxi11WriteParms* p);
bool_t Vxi11XdrWriteResp(XDR* x, Vxi11WriteResp* p);
bool_t Vxi11XdrReadParms(XDR* x, Vxi11ReadParms* p);
bool_t Vxi11XdrReadResp(XDR* x, Vxi11ReadResp* p);
bool_t Vxi11XdrReadStbResp(XDR* x, Vxi11ReadStbResp* p);
bool_t Vxi11XdrGenericParms(XDR* x, Vxi11GenericParms* p);
bool_t Vxi11XdrLockParms(XDR* x, Vxi11LockParms* p);
bool_t Vxi11XdrDocmdResp(XDR* x, Vxi11DocmdResp* p);
bool_t Vxi11XdrLink(XDR* x, std::int32_t* lid);    // Device_Link (destroy_link, device_unlock)
bool_t Vxi11XdrError(XDR* x, std::int32_t* error); // Device_Error

// f as the xdrproc_t of libtirpc's calls.
template <class T> xdrproc_t Vxi11Proc(bool_t (*f)(XDR*, T*)) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}
