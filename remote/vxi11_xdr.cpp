#include "vxi11_xdr.h"

namespace {

// The largest variable-length field decoded: a device_write's data above the size the link
// announced is refused rather than allocated.
constexpr u_int MAX_BYTES = 1u << 20;
constexpr u_int MAX_DEVICE_NAME = 256;

bool_t Bytes(XDR* x, Vxi11Bytes* b) {
    return xdr_bytes(x, &b->data, &b->length, MAX_BYTES);
}

} // namespace

bool_t Vxi11XdrCreateLinkParms(XDR* x, Vxi11CreateLinkParms* p) {
    return xdr_int32_t(x, &p->clientId) && xdr_bool(x, &p->lockDevice) &&
           xdr_u_int32_t(x, &p->lockTimeout) && xdr_string(x, &p->device, MAX_DEVICE_NAME);
}

bool_t Vxi11XdrCreateLinkResp(XDR* x, Vxi11CreateLinkResp* p) {
    return xdr_int32_t(x, &p->error) && xdr_int32_t(x, &p->lid) && xdr_u_short(x, &p->abortPort) &&
           xdr_u_int32_t(x, &p->maxRecvSize);
}

bool_t Vxi11XdrWriteParms(XDR* x, Vxi11WriteParms* p) {
    return xdr_int32_t(x, &p->lid) && xdr_u_int32_t(x, &p->ioTimeout) &&
           xdr_u_int32_t(x, &p->lockTimeout) && xdr_int32_t(x, &p->flags) && Bytes(x, &p->data);
}

bool_t Vxi11XdrWriteResp(XDR* x, Vxi11WriteResp* p) {
    return xdr_int32_t(x, &p->error) && xdr_u_int32_t(x, &p->size);
}

bool_t Vxi11XdrReadParms(XDR* x, Vxi11ReadParms* p) {
    return xdr_int32_t(x, &p->lid) && xdr_u_int32_t(x, &p->requestSize) &&
           xdr_u_int32_t(x, &p->ioTimeout) && xdr_u_int32_t(x, &p->lockTimeout) &&
           xdr_int32_t(x, &p->flags) && xdr_char(x, &p->termChar);
}

bool_t Vxi11XdrReadResp(XDR* x, Vxi11ReadResp* p) {
    return xdr_int32_t(x, &p->error) && xdr_int32_t(x, &p->reason) && Bytes(x, &p->data);
}

bool_t Vxi11XdrReadStbResp(XDR* x, Vxi11ReadStbResp* p) {
    return xdr_int32_t(x, &p->error) && xdr_u_char(x, &p->stb);
}

bool_t Vxi11XdrGenericParms(XDR* x, Vxi11GenericParms* p) {
    return xdr_int32_t(x, &p->lid) && xdr_int32_t(x, &p->flags) &&
           xdr_u_int32_t(x, &p->lockTimeout) && xdr_u_int32_t(x, &p->ioTimeout);
}

bool_t Vxi11XdrLockParms(XDR* x, Vxi11LockParms* p) {
    return xdr_int32_t(x, &p->lid) && xdr_int32_t(x, &p->flags) &&
           xdr_u_int32_t(x, &p->lockTimeout);
}

bool_t Vxi11XdrDocmdResp(XDR* x, Vxi11DocmdResp* p) {
    return xdr_int32_t(x, &p->error) && Bytes(x, &p->dataOut);
}

bool_t Vxi11XdrLink(XDR* x, std::int32_t* lid) {
    return xdr_int32_t(x, lid);
}

bool_t Vxi11XdrError(XDR* x, std::int32_t* error) {
    return xdr_int32_t(x, error);
}
