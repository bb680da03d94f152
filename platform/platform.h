// The platform layer: the operating-system facilities that the layers above use, behind one
// interface. platform/posix/ implements it on Linux; platform/win32/ on 32-bit Windows. Nothing
// above this directory includes a system header for sockets, files, threads or windows.
//
// Conventions: every function may be called from any thread unless it says otherwise. Socket
// calls report failure with -1 and leave the cause in the calling thread's "last socket error",
// in Winsock numbering (PLAT_WSAEINTR and friends), so that the network layer reads one numbering
// on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Socket errors (Winsock numbering)

inline constexpr int32_t PLAT_WSAEINTR = 10004;  // blocking call interrupted (cancelled)
inline constexpr int32_t PLAT_WSAEBADF = 10009;
inline constexpr int32_t PLAT_WSAEACCES = 10013;
inline constexpr int32_t PLAT_WSAEFAULT = 10014;
inline constexpr int32_t PLAT_WSAEINVAL = 10022;
inline constexpr int32_t PLAT_WSAEMFILE = 10024;
inline constexpr int32_t PLAT_WSAEWOULDBLOCK = 10035;
inline constexpr int32_t PLAT_WSAEINPROGRESS = 10036;
inline constexpr int32_t PLAT_WSAENOTSOCK = 10038;
inline constexpr int32_t PLAT_WSAEMSGSIZE = 10040;
inline constexpr int32_t PLAT_WSAEOPNOTSUPP = 10045;
inline constexpr int32_t PLAT_WSAEADDRINUSE = 10048;
inline constexpr int32_t PLAT_WSAEADDRNOTAVAIL = 10049;
inline constexpr int32_t PLAT_WSAENETDOWN = 10050;
inline constexpr int32_t PLAT_WSAENETUNREACH = 10051;
inline constexpr int32_t PLAT_WSAECONNABORTED = 10053;
inline constexpr int32_t PLAT_WSAECONNRESET = 10054;
inline constexpr int32_t PLAT_WSAENOBUFS = 10055;
inline constexpr int32_t PLAT_WSAENOTCONN = 10057;
inline constexpr int32_t PLAT_WSAESHUTDOWN = 10058;
inline constexpr int32_t PLAT_WSAETIMEDOUT = 10060;
inline constexpr int32_t PLAT_WSAECONNREFUSED = 10061;
inline constexpr int32_t PLAT_WSAEHOSTUNREACH = 10065;
inline constexpr int32_t PLAT_WSANOTINITIALISED = 10093;
inline constexpr int32_t PLAT_WSAHOST_NOT_FOUND = 11001;

// Returns the calling thread's last socket error.
int32_t PlatLastSocketError();
// Sets the calling thread's last socket error.
void PlatSetLastSocketError(int32_t error);

// ---------------------------------------------------------------------------------------------
// Socket library start-up. Counted: every successful start needs one cleanup.

// Starts the socket library once more (version 1.1). Returns 0 on success, an error otherwise.
int32_t PlatSocketStartup();
// Ends one start. Returns 0, or -1 when the library was not started.
int32_t PlatSocketCleanup();
// Number of starts not yet ended (for tests and diagnostics).
int32_t PlatSocketStartCount();

// ---------------------------------------------------------------------------------------------
// Sockets. Handles are signed 32-bit; -1 means none. Addresses and ports are in network byte
// order unless a name says otherwise.

using PlatSocket = int32_t;
inline constexpr PlatSocket PLAT_NO_SOCKET = -1;
inline constexpr uint32_t PLAT_INADDR_NONE = 0xFFFFFFFFu;

inline constexpr int32_t PLAT_MSG_OOB = 0x1;
inline constexpr int32_t PLAT_MSG_PEEK = 0x2;

// Creates an IPv4 stream socket. Returns the handle or -1.
PlatSocket PlatSocketCreate();
// Closes a socket. Returns 0 or -1.
int32_t PlatSocketClose(PlatSocket s);
// Connects to addr:port, blocking the caller until the connection stands or fails, or at most
// timeoutMs when it is not negative (then PLAT_WSAETIMEDOUT). Cancellable (see below): a
// cancelled connect fails with PLAT_WSAEINTR. Returns 0 or -1.
int32_t PlatConnect(PlatSocket s, uint32_t addr, uint16_t port, int32_t timeoutMs = -1);
// Binds to addr:port (addr 0 = any, port 0 = the system chooses). Returns 0 or -1.
int32_t PlatBind(PlatSocket s, uint32_t addr, uint16_t port);
// Binds a socket that is to listen to addr and a free port of the system's ephemeral range, as
// PlatBind with port 0 does, but cheaply also when thousands of connections in TIME_WAIT hold
// ports of that range (the system's own search walks past each of them). SO_REUSEADDR must be
// on. Returns 0 or -1.
int32_t PlatBindListeningPort(PlatSocket s, uint32_t addr);
// Starts listening. Returns 0 or -1.
int32_t PlatListen(PlatSocket s, int32_t backlog);
// Accepts one connection, blocking until one arrives (cancellable). Returns the new socket and,
// when the outputs are not null, the peer's address and port; -1 on failure.
PlatSocket PlatAccept(PlatSocket s, uint32_t* peerAddr, uint16_t* peerPort);
// Reads the local / peer address of a socket. Returns 0 or -1.
int32_t PlatGetSockName(PlatSocket s, uint32_t* addr, uint16_t* port);
int32_t PlatGetPeerName(PlatSocket s, uint32_t* addr, uint16_t* port);
// SO_REUSEADDR and SO_LINGER. Return 0 or -1.
int32_t PlatSetReuseAddr(PlatSocket s, bool on);
int32_t PlatSetLinger(PlatSocket s, bool on, uint16_t seconds);
// Ends the sending side of s (the peer reads the end of the stream); receiving goes on. 0 or -1.
int32_t PlatShutdownSend(PlatSocket s);

// Waits until s is readable (data, a connection to accept, or end of stream), the way select with
// a read set does. timeoutMs < 0 waits without limit; 0 only polls. Returns 1 when ready, 0 when
// the time ran out, -1 on failure (PLAT_WSAEINTR when cancelled). Cancellable.
int32_t PlatWaitReadable(PlatSocket s, int32_t timeoutMs);
// The same for "can take data without blocking".
int32_t PlatWaitWritable(PlatSocket s, int32_t timeoutMs);
// Waits on no socket at all for timeoutMs milliseconds. Returns 0 after the time, -1 when
// cancelled (PLAT_WSAEINTR). Cancellable.
int32_t PlatPause(uint32_t timeoutMs);

// Sends up to len bytes (flags 0 or PLAT_MSG_OOB), blocking until at least one byte is taken
// (cancellable). Never raises a signal when the peer has gone. Returns the count sent or -1.
int32_t PlatSend(PlatSocket s, const void* data, int32_t len, int32_t flags);
// The same, but a wait for room lasts at most timeoutMs (< 0: without limit): PLAT_SEND_TIMEOUT
// when the peer took nothing for that long.
inline constexpr int32_t PLAT_SEND_TIMEOUT = -2;
int32_t PlatSendWithin(PlatSocket s, const void* data, int32_t len, int32_t flags,
                       int32_t timeoutMs);
// Receives up to len bytes (flags 0, PLAT_MSG_PEEK or PLAT_MSG_OOB), blocking until data or end
// of stream (cancellable); PLAT_MSG_OOB never blocks. Returns the count, 0 at end of stream, -1.
int32_t PlatRecv(PlatSocket s, void* buffer, int32_t len, int32_t flags);
// Waits up to timeoutMs for data (as PlatWaitReadable: < 0 without limit, 0 not at all;
// cancellable) and receives up to len bytes with one receive. Data that is already there is
// taken without a separate wait. Returns the count, 0 at end of stream, PLAT_RECV_TIMEOUT when
// nothing came in time, PLAT_RECV_WAIT_FAILED when the wait failed (PLAT_WSAEINTR when
// cancelled) or PLAT_RECV_FAILED when the receive did; the last socket error tells why.
inline constexpr int32_t PLAT_RECV_WAIT_FAILED = -1;
inline constexpr int32_t PLAT_RECV_TIMEOUT = -2;
inline constexpr int32_t PLAT_RECV_FAILED = -3;
int32_t PlatRecvWithin(PlatSocket s, void* buffer, int32_t len, int32_t timeoutMs);
// FIONREAD: the count of normal bytes waiting. Returns 0 or -1.
int32_t PlatBytesWaiting(PlatSocket s, uint32_t* count);
// SIOCATMARK in Winsock's meaning: *noUrgentData is true unless an urgent (out-of-band) byte is
// waiting to be read. Returns 0 or -1.
int32_t PlatAtMark(PlatSocket s, bool* noUrgentData);

// Looks up a TCP service by name. Returns 0 and the port, or -1 when unknown. Thread-safe.
int32_t PlatLookupService(const char* name, uint16_t* port);
// Parses a dotted IPv4 address; PLAT_INADDR_NONE when the text is not one.
uint32_t PlatInetAddr(const char* text);
// Resolves a host name to its first IPv4 address. Returns 0 or -1. Thread-safe.
int32_t PlatLookupHost(const char* name, uint32_t* addr);
// Formats an address in dotted form into out (at least 16 bytes).
void PlatInetNtoa(uint32_t addr, char* out);

// ---------------------------------------------------------------------------------------------
// Addresses of either family. The calls above stay IPv4 only; these take an address of either
// family, so that a connection to an IPv6 host, and the data connections that follow it, use the
// family the host was reached on.

inline constexpr int32_t PLAT_AF_INET = 4;
inline constexpr int32_t PLAT_AF_INET6 = 6;
// Room for any address as text, an IPv6 zone ("%eth0") included, with its NUL.
inline constexpr int32_t PLAT_ADDRESS_TEXT_SIZE = 64;
// The most addresses one look-up gives.
inline constexpr int32_t PLAT_MAX_ADDRESSES = 16;

struct PlatAddress {
    int32_t family = 0;        // PLAT_AF_INET, PLAT_AF_INET6, or 0 for none
    uint8_t bytes[16] = {};    // network order; IPv4 in the first four
    uint32_t scopeId = 0;      // the zone of a link-local IPv6 address, else 0
};

// True when a and b are the same address of the same family.
bool PlatSameAddress(const PlatAddress& a, const PlatAddress& b);
// Creates a stream socket of family. Returns the handle or -1 (PLAT_WSAEOPNOTSUPP for a family
// the system lacks, PLAT_WSAEINVAL for no family).
PlatSocket PlatSocketCreateFor(int32_t family);
// PlatConnect to an address of either family.
int32_t PlatConnectTo(PlatSocket s, const PlatAddress& addr, uint16_t port, int32_t timeoutMs);
// PlatBind to an address of either family; an address of all zero bytes is the wildcard. An
// IPv6 socket is bound for IPv6 alone. Returns 0 or -1.
int32_t PlatBindTo(PlatSocket s, const PlatAddress& addr, uint16_t port);
// The local / peer address of a socket of either family. Returns 0 or -1.
int32_t PlatGetSockAddress(PlatSocket s, PlatAddress* addr, uint16_t* port);
int32_t PlatGetPeerAddress(PlatSocket s, PlatAddress* addr, uint16_t* port);
// Parses a numeric address: dotted IPv4, or IPv6 text with an optional zone ("fe80::1%eth0").
// Returns 0, or -1 when the text is neither. Never looks anything up.
int32_t PlatParseAddress(const char* text, PlatAddress* addr);
// Writes the address as text ("127.0.0.1", "::1"; no zone) into out. False when it does not fit
// or the address has no family.
bool PlatFormatAddress(const PlatAddress& addr, char* out, int32_t size);
// Resolves a host name to its addresses of both families, at most capacity of them, in the
// order the resolver prefers. Waits at most timeoutMs (< 0: without limit) and is cancellable:
// the look-up goes on in the background and its result is dropped. Returns the count (at least
// 1), or -1 with PLAT_WSAHOST_NOT_FOUND, PLAT_WSAETIMEDOUT, PLAT_WSAEINTR (cancelled) or
// PLAT_WSAENOBUFS.
int32_t PlatResolveHost(const char* name, PlatAddress* out, int32_t capacity, int32_t timeoutMs);
// TCP keepalive on s: the first probe after seconds without traffic, then one every seconds;
// the connection is given up after a few unanswered probes. Returns 0 or -1.
int32_t PlatSetKeepAlive(PlatSocket s, uint32_t seconds);

// ---------------------------------------------------------------------------------------------
// Cancellation of a blocking call from another thread.
//
// A cancel target names "the blocking calls made on behalf of one client". A thread binds itself
// to a target (PlatBindCancelTarget); from then on every cancellable call it makes can be
// interrupted through that target by any other thread. PlatCancelBlockingCall reaches only calls
// that are blocked on that target at that moment: a request that finds none is dropped, so it
// never hits a later, unrelated call. Calls made by a thread with no target are not cancellable.

struct PlatCancelTarget;

// Creates a target. Returns null when out of resources.
PlatCancelTarget* PlatCancelTargetCreate();
// Destroys a target. No thread may still be bound to it.
void PlatCancelTargetDestroy(PlatCancelTarget* target);
// Binds the calling thread to target (null unbinds). Returns the previous binding.
PlatCancelTarget* PlatBindCancelTarget(PlatCancelTarget* target);
// The calling thread's current binding, or null.
PlatCancelTarget* PlatBoundCancelTarget();
// Interrupts every call blocked on target right now; each fails with PLAT_WSAEINTR. Returns 0
// when a call was interrupted, -1 (PLAT_WSAEINVAL) when none was blocked.
int32_t PlatCancelBlockingCall(PlatCancelTarget* target);
// True while a call is blocked on target.
bool PlatIsBlocking(PlatCancelTarget* target);
// Raises target: the calls blocked on it now are interrupted as by PlatCancelBlockingCall, and
// every later cancellable call made through it fails at once with PLAT_WSAEINTR, ready or not,
// until PlatCancelTargetLower. A cancellation that must not be lost between two calls is raised.
void PlatCancelTargetRaise(PlatCancelTarget* target);
// Lowers a raised target; calls through it wait normally again. Nothing happens when it was not
// raised.
void PlatCancelTargetLower(PlatCancelTarget* target);

// RAII binding for the duration of a scope.
class PlatCancelScope {
public:
    explicit PlatCancelScope(PlatCancelTarget* target) : previous_(PlatBindCancelTarget(target)) {}
    ~PlatCancelScope() { PlatBindCancelTarget(previous_); }
    PlatCancelScope(const PlatCancelScope&) = delete;
    PlatCancelScope& operator=(const PlatCancelScope&) = delete;

private:
    PlatCancelTarget* previous_;
};

// ---------------------------------------------------------------------------------------------
// Time, threads, diagnostics, memory

// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t PlatTickCount();
// An identity of the calling thread that tells threads apart.
uint32_t PlatCurrentThreadId();

// Writes text to the debugger output (OutputDebugStringA on Windows, stderr elsewhere), or to
// the sink set below. One call writes one piece of text whole.
void PlatDebugOutput(const char* text);
using PlatDebugSink = void (*)(const char* text, void* context);
// Replaces the debugger output (null restores the default). For tests.
void PlatSetDebugSink(PlatDebugSink sink, void* context);

// True when size bytes at p may be written. A null location is never writable.
bool PlatIsWritable(const void* p, size_t size);

// ---------------------------------------------------------------------------------------------
// Local files with 32-bit handles, -1 for none or failure (the _lopen family).

inline constexpr int32_t PLAT_FILE_ERROR = -1;
inline constexpr int32_t PLAT_OF_READ = 0;
inline constexpr int32_t PLAT_OF_WRITE = 1;
inline constexpr int32_t PLAT_OF_READWRITE = 2;
inline constexpr int32_t PLAT_FILE_BEGIN = 0;
inline constexpr int32_t PLAT_FILE_CURRENT = 1;
inline constexpr int32_t PLAT_FILE_END = 2;

// Opens an existing file (PLAT_OF_READ, _WRITE or _READWRITE).
int32_t PlatFileOpen(const char* path, int32_t mode);
// Creates a file, or empties an existing one, open for writing.
int32_t PlatFileCreate(const char* path);
// True when path could be opened for writing now: an existing file that opens for writing, or
// no file yet in a directory that exists (on POSIX: in which the caller may create files).
// Creates, empties and changes nothing.
bool PlatFileCanWrite(const char* path);
// Reads up to count bytes. Returns the count read (0 at end of file) or -1.
int32_t PlatFileRead(int32_t file, void* buffer, uint32_t count);
// Writes count bytes. Returns the count written (less when the device is full) or -1.
int32_t PlatFileWrite(int32_t file, const void* data, uint32_t count);
// Moves the file position by a 64-bit offset, so that files beyond 4 GiB can be positioned
// anywhere. Returns the new position or -1.
int64_t PlatFileSeek(int32_t file, int64_t offset, int32_t origin);
// Closes a file. Returns 0 or -1.
int32_t PlatFileClose(int32_t file);
// Deletes a file. Returns 0 or -1.
int32_t PlatFileDelete(const char* path);

// ---------------------------------------------------------------------------------------------
// Hidden windows. On Windows these are a registered window class "Kestrel Xtra" and one hidden
// window per client; elsewhere they are per-client objects that fail and succeed at the same
// points: creating a window needs the class registered, registering twice fails.

using PlatWindow = void*;
using PlatInstance = void*;

// Instance handle of the module that owns window (null when window is null).
PlatInstance PlatWindowInstance(PlatWindow window);
// Registers the window class for instance. Returns 0 or -1 (already registered, no resources).
int32_t PlatWindowClassRegister(PlatInstance instance);
// Unregisters it. Returns 0 or -1.
int32_t PlatWindowClassUnregister(PlatInstance instance);
// Creates a hidden window of the class as a child of parent. Returns null on failure.
PlatWindow PlatWindowCreate(PlatWindow parent, PlatInstance instance);
// Destroys a window made by PlatWindowCreate.
void PlatWindowDestroy(PlatWindow window);

// ---------------------------------------------------------------------------------------------
// Test seams. Each counter, when positive, makes that many of the next calls of its kind fail
// (and is counted down); tests set them and the product never does.

struct PlatFaults {
    int32_t failSends = 0;        // PlatSend fails with PLAT_WSAECONNRESET...
    int32_t sendsToPass = 0;      // ...after this many sends have gone through
    int32_t shortFileWrites = 0;  // PlatFileWrite writes one byte less than asked
    int32_t failFileReads = 0;    // PlatFileRead fails
    int32_t failFileCreates = 0;  // PlatFileCreate fails
    int32_t failWindowCreates = 0;
    int32_t failClassRegisters = 0;
    int32_t slowLookups = 0;      // PlatResolveHost's look-up takes PLAT_SLOW_LOOKUP_MS longer
};
inline constexpr int32_t PLAT_SLOW_LOOKUP_MS = 3000;
// Sets the fault counters (all zero turns injection off).
void PlatSetFaults(const PlatFaults& faults);
