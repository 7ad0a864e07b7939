// The VXI-11 RPC server on libtirpc.
//
// One thread runs libtirpc's dispatch, and nothing in a dispatch ever waits: libtirpc keeps its
// service state (the transports, their poll table, the registered programs) in process globals
// that are not safe to drive from several threads, so every RPC is handled on this one thread.
// A call that must wait (a device_write until its lines have run, a device_read before its
// answer is there, a device_lock or any call with waitlock while another link holds the lock)
// is kept as the link's pending call, and its reply is sent later from the same thread, when
// the awaited thing happens, at its deadline, or on device_abort. That works because a
// VXI-11 client has at most one call outstanding per connection, and libtirpc's connection
// transport replies with the id of the last call it received: a connection that becomes
// readable while its call is pending has either closed or given up on the call, so the pending
// call is dropped before libtirpc reads the connection.
//
// The host's completions arrive from its threads through a mailbox (a queue and a pipe that
// wakes the poll).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <rpc/rpc_com.h>

#include "vxi11.h"
#include "vxi11_xdr.h"

namespace {

using Clock = std::chrono::steady_clock;

// Completions from the host's threads.
struct Mailbox {
    struct Item {
        std::int32_t lid;
        std::uint64_t generation;
        std::string response;
        bool answered;
    };
    std::mutex mutex;
    std::vector<Item> items;
    int pipe[2] = {-1, -1};

    Mailbox() {
        if (::pipe(pipe) == 0) {
            for (int fd : pipe) {
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
    }
    ~Mailbox() {
        for (int fd : pipe) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    void Wake() {
        const char c = 0;
        (void)!::write(pipe[1], &c, 1); // a full pipe is awake already
    }
    void Post(Item item) {
        {
            std::lock_guard lock(mutex);
            items.push_back(std::move(item));
        }
        Wake();
    }
    std::vector<Item> Take() {
        char buffer[256];
        while (::read(pipe[0], buffer, sizeof buffer) > 0) {
        }
        std::lock_guard lock(mutex);
        return std::exchange(items, {});
    }
};

// A call whose reply waits.
struct Pending {
    std::uint32_t procedure = 0;
    SVCXPRT* xprt = nullptr;
    Clock::time_point lockDeadline; // waitlock: until when the lock is waited for
    Clock::time_point ioDeadline;
    bool waitLock = false;
    bool pastLock = false; // the lock let it go on once; it is not asked again
    // device_write
    std::string data;
    bool end = false;
    std::size_t taken = 0;   // bytes of data whose lines went to the host
    bool handedOver = false; // every line of data went
    // device_read
    std::uint32_t requestSize = 0;
    int termChar = -1;
    Clock::time_point deadline; // the next one that ends the wait, as the last attempt found
};

struct Link {
    std::int32_t lid = 0;
    std::uint64_t session = 0;
    int fd = -1;
    bool ready = false; // false while create_link waits for the lock it asked for
    CVxi11Stream stream;
    std::size_t inFlight = 0;     // lines handed to the host and not yet completed
    std::uint64_t generation = 0; // device_clear: answers of earlier lines are dropped
    std::optional<Pending> pending;
};

RemoteAddress PeerAddress(const SVCXPRT* xprt) {
    RemoteAddress a;
    const netbuf& nb = xprt->xp_rtaddr;
    if (nb.buf == nullptr) {
        return a;
    }
    sockaddr_storage ss{};
    std::memcpy(&ss, nb.buf, std::min<std::size_t>(nb.len, sizeof ss));
    if (ss.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
        std::memcpy(a.bytes.data(), &sin->sin_addr, 4);
    } else if (ss.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        a.v6 = true;
        std::memcpy(a.bytes.data(), &sin6->sin6_addr, 16);
    }
    return RemotePlainAddress(a);
}

std::chrono::milliseconds Ms(std::uint32_t ms) {
    return std::chrono::milliseconds(ms);
}

// A listening TCP socket on address with a port of the system's choice, or -1.
int ListenOn(const std::string& address, std::string* error) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (::inet_pton(AF_INET, address.c_str(), &sin->sin_addr) == 1) {
        sin->sin_family = AF_INET;
        len = sizeof *sin;
    } else if (::inet_pton(AF_INET6, address.c_str(), &sin6->sin6_addr) == 1) {
        sin6->sin6_family = AF_INET6;
        len = sizeof *sin6;
    } else {
        *error = "'" + address + "' is not a numeric address";
        return -1;
    }
    const int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        *error = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        return 0;
    }
    return ntohs(ss.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                         : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
}

// Whether something accepts TCP connections on 127.0.0.1:port.
bool LoopbackAnswers(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    ::close(fd);
    return ok;
}

} // namespace

struct CVxi11Server::Impl {
    explicit Impl(IVxi11Host& h) : host(h) {}

    IVxi11Host& host;
    std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
    std::map<std::int32_t, Link> links;
    std::int32_t nextLid = 1;
    std::int32_t lockHolder = 0; // the link that holds the lock, 0: none
    SVCXPRT* core = nullptr;
    SVCXPRT* abort = nullptr;
    std::uint16_t corePort = 0;
    std::uint16_t abortPort = 0;
    bool registered = false;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::chrono::milliseconds idleLimit = REMOTE_IDLE_LIMIT;
    std::map<int, Clock::time_point> lastCall; // of each connection: its last call or busy time

    static void Dispatch(svc_req* request, SVCXPRT* xprt);
    void Run();
    void Call(std::uint32_t procedure, SVCXPRT* xprt);
    void CallAbort(SVCXPRT* xprt);
    // A call's reply waits as the pending call of link lid, which is then tried at once; a
    // call for a link it may not use is answered invalid-link.
    void Begin(std::int32_t lid, Pending pending, Clock::time_point now);
    // Link lid if a call on xprt may use it: its create_link was answered, and the call comes
    // on the link's own connection (another client cannot drive or destroy it).
    Link* Usable(std::int32_t lid, const SVCXPRT* xprt);
    // Tries to finish link's pending call now; true when its reply went.
    bool Attempt(Link& link, Clock::time_point now);
    // device_write's part of Attempt.
    bool AttemptWrite(Link& link, Clock::time_point now);
    void RetryAll(Clock::time_point now);
    void ReplyError(const Pending& p, std::int32_t error);
    void Destroy(std::int32_t lid);
    void TakeCompletions();
    int NextTimeoutMs(Clock::time_point now) const;
    void ForgetConnection(int fd, bool dropLinks);
    // Ends the connections that made no call and had nothing waiting for idleLimit; open: the
    // descriptors in libtirpc's poll table.
    void CloseIdle(Clock::time_point now, const std::set<int>& open);
    bool LockedOut(const Link& link) const { return lockHolder != 0 && lockHolder != link.lid; }
};

namespace {
CVxi11Server::Impl* g_server = nullptr; // libtirpc's dispatch has no user pointer

template <class T> bool GetArgs(SVCXPRT* xprt, bool_t (*f)(XDR*, T*), T* args) {
    if (!svc_getargs(xprt, Vxi11Proc(f), reinterpret_cast<char*>(args))) {
        svcerr_decode(xprt);
        return false;
    }
    return true;
}
template <class T> void FreeArgs(SVCXPRT* xprt, bool_t (*f)(XDR*, T*), T* args) {
    (void)svc_freeargs(xprt, Vxi11Proc(f), reinterpret_cast<char*>(args));
}
template <class T> void Reply(SVCXPRT* xprt, bool_t (*f)(XDR*, T*), T* result) {
    (void)svc_sendreply(xprt, Vxi11Proc(f), reinterpret_cast<char*>(result));
}
void ReplyPlain(SVCXPRT* xprt, std::int32_t error) {
    Reply(xprt, &Vxi11XdrError, &error);
}

// A call's reply as it waits, from the parts every call with a link has.
Pending NewPending(std::uint32_t procedure, SVCXPRT* xprt, std::int32_t flags,
                   std::uint32_t lockTimeout, std::uint32_t ioTimeout, Clock::time_point now) {
    Pending p;
    p.procedure = procedure;
    p.xprt = xprt;
    p.waitLock = (flags & VXI11_FLAG_WAITLOCK) != 0;
    p.lockDeadline = now + Ms(lockTimeout);
    p.ioDeadline = now + Ms(ioTimeout);
    return p;
}
} // namespace

Link* CVxi11Server::Impl::Usable(std::int32_t lid, const SVCXPRT* xprt) {
    const auto it = links.find(lid);
    if (it == links.end() || !it->second.ready || it->second.fd != xprt->xp_fd) {
        return nullptr;
    }
    return &it->second;
}

void CVxi11Server::Impl::Begin(std::int32_t lid, Pending pending, Clock::time_point now) {
    Link* link = Usable(lid, pending.xprt);
    if (link == nullptr) {
        ReplyError(pending, VXI11_INVALID_LINK);
        return;
    }
    link->pending = std::move(pending);
    (void)Attempt(*link, now);
}

void CVxi11Server::Impl::Dispatch(svc_req* request, SVCXPRT* xprt) {
    Impl* self = g_server;
    if (self == nullptr) {
        svcerr_systemerr(xprt);
        return;
    }
    if (request->rq_proc == NULLPROC) {
        (void)svc_sendreply(
            xprt, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr);
        return;
    }
    if (request->rq_prog == VXI11_ABORT_PROGRAM) {
        if (request->rq_proc == VXI11_DEVICE_ABORT) {
            self->CallAbort(xprt);
        } else {
            svcerr_noproc(xprt);
        }
        return;
    }
    self->Call(static_cast<std::uint32_t>(request->rq_proc), xprt);
}

void CVxi11Server::Impl::CallAbort(SVCXPRT* xprt) {
    std::int32_t lid = 0;
    if (!GetArgs(xprt, &Vxi11XdrLink, &lid)) {
        return;
    }
    const auto it = links.find(lid);
    if (it == links.end()) {
        ReplyPlain(xprt, VXI11_INVALID_LINK);
        return;
    }
    if (it->second.pending && it->second.ready) {
        ReplyError(*it->second.pending, VXI11_ABORT);
        it->second.pending.reset();
    }
    ReplyPlain(xprt, VXI11_OK);
}

void CVxi11Server::Impl::Call(std::uint32_t procedure, SVCXPRT* xprt) {
    const Clock::time_point now = Clock::now();
    lastCall[xprt->xp_fd] = now;
    switch (procedure) {
    case VXI11_CREATE_LINK: {
        Vxi11CreateLinkParms p;
        if (!GetArgs(xprt, &Vxi11XdrCreateLinkParms, &p)) {
            return;
        }
        Vxi11CreateLinkResp r;
        const std::string device = p.device ? p.device : "";
        const std::uint32_t lockTimeout = p.lockTimeout;
        const bool lockDevice = p.lockDevice != 0;
        FreeArgs(xprt, &Vxi11XdrCreateLinkParms, &p);
        std::string lower = device;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::uint64_t session = 0;
        if (lower != "inst0" && lower != "inst") {
            r.error = VXI11_INVALID_ADDRESS;
        } else {
            switch (host.Admit(PeerAddress(xprt), &session)) {
            case IVxi11Host::Admission::Admitted:
                break;
            case IVxi11Host::Admission::NotAllowed:
                r.error = VXI11_NOT_ACCESSIBLE;
                break;
            case IVxi11Host::Admission::TooMany:
                r.error = VXI11_OUT_OF_RESOURCES;
                break;
            }
        }
        if (r.error != VXI11_OK) {
            Reply(xprt, &Vxi11XdrCreateLinkResp, &r);
            if (r.error == VXI11_NOT_ACCESSIBLE) {
                // A client outside the allowed ranges gets nothing more: its connection ends
                // after the reply, as a raw one is closed at once.
                (void)::shutdown(xprt->xp_fd, SHUT_RDWR);
            }
            return;
        }
        Link& link = links[nextLid];
        link.lid = nextLid++;
        link.session = session;
        link.fd = xprt->xp_fd;
        // Replies go out at once, as on raw sockets (libtirpc leaves Nagle's delay on).
        const int one = 1;
        (void)::setsockopt(link.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (lockDevice) {
            link.pending = NewPending(procedure, xprt, VXI11_FLAG_WAITLOCK, lockTimeout, 0, now);
            (void)Attempt(link, now);
            return;
        }
        link.ready = true;
        r.lid = link.lid;
        r.abortPort = abortPort;
        r.maxRecvSize = VXI11_MAX_RECV;
        Reply(xprt, &Vxi11XdrCreateLinkResp, &r);
        return;
    }
    case VXI11_DEVICE_WRITE: {
        Vxi11WriteParms p;
        if (!GetArgs(xprt, &Vxi11XdrWriteParms, &p)) {
            return;
        }
        Pending pending = NewPending(procedure, xprt, p.flags, p.lockTimeout, p.ioTimeout, now);
        pending.data.assign(p.data.data ? p.data.data : "", p.data.length);
        pending.end = (p.flags & VXI11_FLAG_END) != 0;
        const std::int32_t lid = p.lid;
        FreeArgs(xprt, &Vxi11XdrWriteParms, &p);
        Begin(lid, std::move(pending), now);
        return;
    }
    case VXI11_DEVICE_READ: {
        Vxi11ReadParms p;
        if (!GetArgs(xprt, &Vxi11XdrReadParms, &p)) {
            return;
        }
        Pending pending = NewPending(procedure, xprt, p.flags, p.lockTimeout, p.ioTimeout, now);
        pending.requestSize = p.requestSize;
        pending.termChar =
            (p.flags & VXI11_FLAG_TERMCHRSET) ? static_cast<unsigned char>(p.termChar) : -1;
        Begin(p.lid, std::move(pending), now);
        return;
    }
    case VXI11_DEVICE_READSTB:
    case VXI11_DEVICE_CLEAR:
    case VXI11_DEVICE_TRIGGER:
    case VXI11_DEVICE_REMOTE:
    case VXI11_DEVICE_LOCAL: {
        Vxi11GenericParms p;
        if (!GetArgs(xprt, &Vxi11XdrGenericParms, &p)) {
            return;
        }
        Begin(p.lid, NewPending(procedure, xprt, p.flags, p.lockTimeout, p.ioTimeout, now), now);
        return;
    }
    case VXI11_DEVICE_LOCK: {
        Vxi11LockParms p;
        if (!GetArgs(xprt, &Vxi11XdrLockParms, &p)) {
            return;
        }
        Begin(p.lid, NewPending(procedure, xprt, p.flags, p.lockTimeout, 0, now), now);
        return;
    }
    case VXI11_DEVICE_UNLOCK:
    case VXI11_DESTROY_LINK: {
        std::int32_t lid = 0;
        if (!GetArgs(xprt, &Vxi11XdrLink, &lid)) {
            return;
        }
        if (Usable(lid, xprt) == nullptr) {
            ReplyPlain(xprt, VXI11_INVALID_LINK);
            return;
        }
        if (procedure == VXI11_DESTROY_LINK) {
            Destroy(lid);
            ReplyPlain(xprt, VXI11_OK);
        } else if (lockHolder != lid) {
            ReplyPlain(xprt, VXI11_NO_LOCK);
        } else {
            lockHolder = 0;
            ReplyPlain(xprt, VXI11_OK);
        }
        RetryAll(now); // a released lock may let waiting links go on
        return;
    }
    case VXI11_DEVICE_DOCMD: {
        Vxi11DocmdResp r;
        r.error = VXI11_NOT_SUPPORTED;
        Reply(xprt, &Vxi11XdrDocmdResp, &r);
        return;
    }
    case VXI11_DEVICE_ENABLE_SRQ:
    case VXI11_CREATE_INTR_CHAN:
    case VXI11_DESTROY_INTR_CHAN:
        // No service requests: the interrupt channel is not offered.
        ReplyPlain(xprt, VXI11_NOT_SUPPORTED);
        return;
    default:
        svcerr_noproc(xprt);
        return;
    }
}

void CVxi11Server::Impl::ReplyError(const Pending& p, std::int32_t error) {
    switch (p.procedure) {
    case VXI11_CREATE_LINK: {
        Vxi11CreateLinkResp r;
        r.error = error;
        Reply(p.xprt, &Vxi11XdrCreateLinkResp, &r);
        break;
    }
    case VXI11_DEVICE_WRITE: {
        Vxi11WriteResp r{error, static_cast<std::uint32_t>(p.taken)}; // the bytes taken
        Reply(p.xprt, &Vxi11XdrWriteResp, &r);
        break;
    }
    case VXI11_DEVICE_READ: {
        Vxi11ReadResp r;
        r.error = error;
        Reply(p.xprt, &Vxi11XdrReadResp, &r);
        break;
    }
    case VXI11_DEVICE_READSTB: {
        Vxi11ReadStbResp r{error, 0};
        Reply(p.xprt, &Vxi11XdrReadStbResp, &r);
        break;
    }
    default:
        ReplyPlain(p.xprt, error);
        break;
    }
}

bool CVxi11Server::Impl::Attempt(Link& link, Clock::time_point now) {
    Pending& p = *link.pending;
    auto finish = [&link]() {
        link.pending.reset();
        return true;
    };
    if (p.procedure == VXI11_CREATE_LINK || p.procedure == VXI11_DEVICE_LOCK) {
        if (!LockedOut(link)) {
            lockHolder = link.lid;
            if (p.procedure == VXI11_DEVICE_LOCK) {
                ReplyPlain(p.xprt, VXI11_OK);
                return finish();
            }
            link.ready = true;
            Vxi11CreateLinkResp r;
            r.lid = link.lid;
            r.abortPort = abortPort;
            r.maxRecvSize = VXI11_MAX_RECV;
            Reply(p.xprt, &Vxi11XdrCreateLinkResp, &r);
            return finish();
        }
        if (p.waitLock && now < p.lockDeadline) {
            p.deadline = p.lockDeadline;
            return false;
        }
        ReplyError(p, VXI11_LOCKED);
        if (p.procedure == VXI11_CREATE_LINK) {
            Destroy(link.lid); // the link asked for is not created
            return true;
        }
        return finish();
    }
    if (!p.pastLock && LockedOut(link)) {
        if (p.waitLock && now < p.lockDeadline) {
            p.deadline = p.lockDeadline;
            return false;
        }
        ReplyError(p, VXI11_LOCKED);
        return finish();
    }
    p.pastLock = true; // a lock taken by another link later does not cut this call short
    switch (p.procedure) {
    case VXI11_DEVICE_WRITE:
        return AttemptWrite(link, now) && finish();
    case VXI11_DEVICE_READ: {
        if (!link.stream.HasResponse()) {
            if (now < p.ioDeadline) {
                p.deadline = p.ioDeadline;
                return false;
            }
            ReplyError(p, VXI11_IO_TIMEOUT);
            return finish();
        }
        Vxi11ReadResp r;
        std::string data = link.stream.Read(p.requestSize, p.termChar, &r.reason);
        r.data.length = static_cast<u_int>(data.size());
        r.data.data = data.data();
        Reply(p.xprt, &Vxi11XdrReadResp, &r);
        return finish();
    }
    case VXI11_DEVICE_READSTB: {
        std::uint8_t stb = host.StatusByte(link.session) & ~0x10;
        if (link.stream.HasResponse()) {
            stb |= 0x10; // MAV: an answer waits to be read
        }
        Vxi11ReadStbResp r{VXI11_OK, stb};
        Reply(p.xprt, &Vxi11XdrReadStbResp, &r);
        return finish();
    }
    case VXI11_DEVICE_CLEAR:
        link.stream.Clear();
        ++link.generation; // the host completes the dropped lines; their answers are ignored
        host.Clear(link.session);
        ReplyPlain(p.xprt, VXI11_OK);
        return finish();
    case VXI11_DEVICE_TRIGGER:
        ReplyPlain(p.xprt, VXI11_NOT_SUPPORTED);
        return finish();
    default: // device_remote, device_local: nothing to switch on this instrument
        ReplyPlain(p.xprt, VXI11_OK);
        return finish();
    }
}

bool CVxi11Server::Impl::AttemptWrite(Link& link, Clock::time_point now) {
    Pending& p = *link.pending;
    // The lines go to the host one by one while the link has room (lines in flight, unread
    // answers), so that one write of many short lines queues no more than any other.
    std::string_view rest = std::string_view(p.data).substr(p.taken);
    CVxi11Stream::Line line;
    while (!p.handedOver && link.inFlight < VXI11_LINES_IN_FLIGHT &&
           link.stream.ResponseBytes() < VXI11_RESPONSE_MAX) {
        if (!link.stream.Next(&rest, p.end, &line)) {
            p.handedOver = true;
            break;
        }
        ++link.inFlight;
        host.Submit(link.session, std::move(line.text), line.overlong,
                    [box = mailbox, lid = link.lid, gen = link.generation](std::string response,
                                                                           bool answered) {
                        box->Post({lid, gen, std::move(response), answered});
                    });
    }
    p.taken = p.data.size() - rest.size();
    // Answered once every line has run, so that the reply, a device_readstb after it and a
    // destroy_link after it all find the write done.
    if (p.handedOver && link.inFlight == 0) {
        Vxi11WriteResp r{VXI11_OK, static_cast<std::uint32_t>(p.data.size())};
        Reply(p.xprt, &Vxi11XdrWriteResp, &r);
        return true;
    }
    if (now < p.ioDeadline) {
        p.deadline = p.ioDeadline;
        return false;
    }
    // Out of time: the lines handed over still run; the bytes after them are not taken.
    ReplyError(p, VXI11_IO_TIMEOUT);
    return true;
}

void CVxi11Server::Impl::RetryAll(Clock::time_point now) {
    // Collects the ids first: Attempt may erase a link (a create_link that did not get its
    // lock).
    std::vector<std::int32_t> ids;
    for (const auto& [lid, link] : links) {
        if (link.pending) {
            ids.push_back(lid);
        }
    }
    for (std::int32_t lid : ids) {
        const auto it = links.find(lid);
        if (it != links.end() && it->second.pending) {
            (void)Attempt(it->second, now);
        }
    }
}

void CVxi11Server::Impl::Destroy(std::int32_t lid) {
    const auto it = links.find(lid);
    if (it == links.end()) {
        return;
    }
    if (lockHolder == lid) {
        lockHolder = 0;
    }
    host.Close(it->second.session);
    links.erase(it);
}

void CVxi11Server::Impl::TakeCompletions() {
    for (Mailbox::Item& item : mailbox->Take()) {
        const auto it = links.find(item.lid);
        if (it == links.end()) {
            continue; // the link is gone
        }
        Link& link = it->second;
        // A line dropped by device_clear still counts until the host has let it go, so that
        // clearing in a loop queues no more lines than writing does.
        if (link.inFlight > 0) {
            --link.inFlight;
        }
        if (item.answered && item.generation == link.generation) {
            link.stream.Answer(item.response);
        }
    }
}

int CVxi11Server::Impl::NextTimeoutMs(Clock::time_point now) const {
    int ms = 1000;
    for (const auto& [lid, link] : links) {
        if (link.pending) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(link.pending->deadline - now);
            ms = std::min<int>(ms, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        }
    }
    return ms;
}

void CVxi11Server::Impl::ForgetConnection(int fd, bool dropLinks) {
    std::vector<std::int32_t> gone;
    for (auto& [lid, link] : links) {
        if (link.fd == fd) {
            link.pending.reset();
            if (dropLinks || !link.ready) { // a create_link given up leaves no link
                gone.push_back(lid);
            }
        }
    }
    for (std::int32_t lid : gone) {
        Destroy(lid);
    }
}

void CVxi11Server::Impl::CloseIdle(Clock::time_point now, const std::set<int>& open) {
    // Every connection counts, those without a link too (a client that never creates one, or
    // whose links are gone, would otherwise hold its descriptor for good); one whose links wait
    // for something is busy, and its idle time starts again.
    for (const int fd : open) {
        if (fd >= 0 && (core == nullptr || fd != core->xp_fd) &&
            (abort == nullptr || fd != abort->xp_fd)) {
            lastCall.try_emplace(fd, now); // first seen: accepted just now
        }
    }
    for (const auto& [lid, link] : links) {
        if (link.pending.has_value() || link.inFlight > 0) {
            lastCall[link.fd] = now;
        }
    }
    for (auto it = lastCall.begin(); it != lastCall.end();) {
        if (open.count(it->first) == 0) {
            it = lastCall.erase(it); // closed, by its client or by libtirpc
            continue;
        }
        if (now - it->second >= idleLimit) {
            // The poll then finds the connection ended: libtirpc closes it, and its links go.
            (void)::shutdown(it->first, SHUT_RDWR);
            it->second = now;
        }
        ++it;
    }
}

void CVxi11Server::Impl::Run() {
    std::vector<pollfd> fds;
    while (!stopping) {
        fds.assign(svc_pollfd, svc_pollfd + svc_max_pollfd);
        const std::size_t svcCount = fds.size();
        fds.push_back({mailbox->pipe[0], POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), NextTimeoutMs(Clock::now()));
        if (stopping) {
            break;
        }
        if (ready < 0 && errno != EINTR) {
            break;
        }
        TakeCompletions();
        int svcReady = 0;
        std::set<int> linkFds;
        for (const auto& [lid, link] : links) {
            linkFds.insert(link.fd);
        }
        for (std::size_t i = 0; ready > 0 && i < svcCount; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            ++svcReady;
            if (linkFds.count(fds[i].fd) == 0) {
                continue;
            }
            // A connection with links is readable: a new call (any call of it that waits is
            // given up by its client), or the end of the connection, which ends its links.
            char byte;
            const ssize_t n = ::recv(fds[i].fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            const bool closing =
                n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
            ForgetConnection(fds[i].fd, closing);
        }
        if (svcReady > 0) {
            svc_getreq_poll(fds.data(), svcReady);
        }
        // Links on a connection libtirpc has closed for other reasons (a malformed record).
        std::set<int> open;
        for (int i = 0; i < svc_max_pollfd; ++i) {
            open.insert(svc_pollfd[i].fd);
        }
        std::vector<std::int32_t> orphans;
        for (const auto& [lid, link] : links) {
            if (open.count(link.fd) == 0) {
                orphans.push_back(lid);
            }
        }
        for (std::int32_t lid : orphans) {
            Destroy(lid);
        }
        RetryAll(Clock::now());
        CloseIdle(Clock::now(), open);
    }
}

CVxi11Server::CVxi11Server(IVxi11Host& host) : m_impl(std::make_unique<Impl>(host)) {}

CVxi11Server::~CVxi11Server() {
    Stop();
}

std::uint16_t CVxi11Server::CorePort() const {
    return m_impl->corePort;
}
std::uint16_t CVxi11Server::AbortPort() const {
    return m_impl->abortPort;
}

void CVxi11Server::SetIdleLimit(std::chrono::milliseconds limit) {
    m_impl->idleLimit = limit;
}

bool CVxi11Server::Start(const std::string& address, std::string* error) {
    Impl& d = *m_impl;
    if (g_server != nullptr) {
        *error = "a VXI-11 server runs in this process already";
        return false;
    }
    if (!LoopbackAnswers(PMAPPORT)) {
        *error = "rpcbind is not running";
        return false;
    }
    // A registration whose server is gone (killed without unregistering) is taken over; a
    // live one is not.
    sockaddr_in rpcbind{};
    rpcbind.sin_family = AF_INET;
    rpcbind.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rpcbind.sin_port = htons(PMAPPORT);
    const u_short registered =
        pmap_getport(&rpcbind, VXI11_CORE_PROGRAM, VXI11_VERSION, IPPROTO_TCP);
    if (registered != 0) {
        if (LoopbackAnswers(registered)) {
            *error = "another VXI-11 server is registered with rpcbind (port " +
                     std::to_string(registered) + ")";
            return false;
        }
        (void)pmap_unset(VXI11_CORE_PROGRAM, VXI11_VERSION);
    }
    // The server writes replies with write(2); a client gone meanwhile must not end the
    // process with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // Connections in non-blocking mode with bounded records: a client that sends half a
    // record or a huge one stalls nobody.
    int maxRecord = static_cast<int>(2 * VXI11_MAX_RECV);
    (void)rpc_control(RPC_SVC_CONNMAXREC_SET, &maxRecord);

    std::string why;
    const int coreFd = ListenOn(address, &why);
    const int abortFd = coreFd >= 0 ? ListenOn(address, &why) : -1;
    if (coreFd < 0 || abortFd < 0) {
        if (coreFd >= 0) {
            ::close(coreFd);
        }
        *error = "cannot listen on " + address + ": " + why;
        return false;
    }
    d.corePort = LocalPort(coreFd);
    d.abortPort = LocalPort(abortFd);
    d.core = svc_vc_create(coreFd, 0, 0);
    d.abort = svc_vc_create(abortFd, 0, 0);
    g_server = &d;
    if (d.core == nullptr || d.abort == nullptr ||
        !svc_register(d.core, VXI11_CORE_PROGRAM, VXI11_VERSION, &Impl::Dispatch, 0) ||
        !svc_register(d.abort, VXI11_ABORT_PROGRAM, VXI11_VERSION, &Impl::Dispatch, 0)) {
        *error = "the RPC library could not set up the service";
        Stop();
        return false;
    }
    if (!pmap_set(VXI11_CORE_PROGRAM, VXI11_VERSION, IPPROTO_TCP, d.corePort)) {
        *error = "rpcbind refused the registration";
        Stop();
        return false;
    }
    d.registered = true;
    d.thread = std::thread([&d] { d.Run(); });
    return true;
}

void CVxi11Server::Stop() {
    Impl& d = *m_impl;
    if (d.thread.joinable()) {
        d.stopping = true;
        d.mailbox->Wake();
        d.thread.join();
    }
    if (d.registered) {
        (void)pmap_unset(VXI11_CORE_PROGRAM, VXI11_VERSION);
        d.registered = false;
    }
    if (g_server == &d) {
        svc_unregister(VXI11_CORE_PROGRAM, VXI11_VERSION);
        svc_unregister(VXI11_ABORT_PROGRAM, VXI11_VERSION);
        for (SVCXPRT** x : {&d.core, &d.abort}) {
            if (*x != nullptr) {
                svc_destroy(*x);
                *x = nullptr;
            }
        }
        // The links' sessions end with the server.
        std::vector<std::int32_t> ids;
        for (const auto& [lid, link] : d.links) {
            ids.push_back(lid);
        }
        for (std::int32_t lid : ids) {
            d.Destroy(lid);
        }
        g_server = nullptr;
    }
}
