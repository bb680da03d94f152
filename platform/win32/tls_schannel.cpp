// TLS client connections with SChannel through SSPI (secur32.dll), and certificate checks with
// the Windows certificate store and chain engine (crypt32.dll): system DLLs only.
//
// SChannel does no socket work: the handshake tokens and the records go over the socket here,
// with the platform's non-blocking socket calls, and every wait goes through
// PlatWaitReadable / PlatWaitWritable (cancellable). Raw bytes that have come but are not yet a
// whole record wait in `incoming`; decrypted bytes not yet handed out wait in `plain`.
//
// Protocol: TLS 1.2. The SCHANNEL_CRED credentials used here do not negotiate TLS 1.3 on Windows.
//
// Session reuse: SChannel keeps the sessions of a credentials handle in its own cache, keyed by
// the target name. A connection that resumes from another uses the other's credentials handle and
// the same target name, so SChannel offers the earlier session on its handshake.
//
// Certificates are checked by us (manual validation): the chain is built from the certificates
// the server sent; its root must be trusted by the system store, or, with a CA file, be one of the
// file's certificates (the system's roots then do not count). A name is checked by the SSL chain
// policy, an address against the certificate's IP address entries.

#define SECURITY_WIN32

// The system headers need windows.h (from wait.h) before them.
// clang-format off
#include "win32/wait.h"
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "deadline.h"
#include "tls.h"

namespace {

constexpr DWORD REQUEST_FLAGS = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;
// SSL chain policy: a root that is not trusted by the system (wininet's value).
constexpr DWORD IGNORE_UNKNOWN_CA = 0x00000100;
constexpr size_t READ_CHUNK = 16 * 1024 + 512;
constexpr unsigned char TLS_ALERT_RECORD = 21;

// Credentials shared by a control connection and the data connections that resume from it.
struct Credentials {
    CredHandle handle{};
    bool acquired = false;
    HCERTSTORE trusted = nullptr;  // the CA file's certificates, or null for the system store
    std::atomic<int32_t> references{1};

    ~Credentials() {
        if (acquired) {
            FreeCredentialsHandle(&handle);
        }
        if (trusted != nullptr) {
            CertCloseStore(trusted, 0);
        }
    }
};

void Release(Credentials* credentials) {
    if (credentials != nullptr && credentials->references.fetch_sub(1) == 1) {
        delete credentials;
    }
}

void SetText(char* out, size_t size, const char* text) {
    if (out != nullptr && size > 0) {
        snprintf(out, size, "%s", text);
    }
}

void SetStatusText(char* out, size_t size, const char* what, SECURITY_STATUS status) {
    if (out != nullptr && size > 0) {
        snprintf(out, size, "%s: 0x%08lX", what, static_cast<unsigned long>(status));
    }
}

int32_t WaitFailure() {
    return PlatLastSocketError() == PLAT_WSAEINTR ? PLAT_TLS_CANCELLED : PLAT_TLS_FAILED;
}

// Reads the PEM certificates of path into a new memory store. Null when the file cannot be read
// or holds no certificate.
HCERTSTORE LoadCaFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    CloseHandle(file);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        return nullptr;
    }
    static const char BEGIN[] = "-----BEGIN CERTIFICATE-----";
    static const char END[] = "-----END CERTIFICATE-----";
    int added = 0;
    for (size_t at = text.find(BEGIN); at != std::string::npos; at = text.find(BEGIN, at)) {
        const size_t end = text.find(END, at);
        if (end == std::string::npos) {
            break;
        }
        const size_t length = end + sizeof END - 1 - at;
        DWORD size = 0;
        if (CryptStringToBinaryA(text.data() + at, static_cast<DWORD>(length),
                                 CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            std::vector<BYTE> der(size);
            if (CryptStringToBinaryA(text.data() + at, static_cast<DWORD>(length),
                                     CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                     nullptr) &&
                CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                 CERT_STORE_ADD_USE_EXISTING, nullptr)) {
                ++added;
            }
        }
        at = end;
    }
    if (added == 0) {
        CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

}  // namespace

struct PlatTls {
    PlatSocket socket = PLAT_NO_SOCKET;
    Credentials* credentials = nullptr;
    CtxtHandle context{};
    bool haveContext = false;
    std::string target;  // SChannel's target name: the name sent, and the session cache's key
    SecPkgContext_StreamSizes sizes{};
    std::vector<char> incoming;  // raw bytes received and not yet used
    size_t incomingUsed = 0;
    std::vector<char> plain;   // decrypted bytes not yet handed out, from plainStart
    std::vector<char> record;  // where outgoing records are encrypted
    size_t plainStart = 0;
    bool closeNotify = false;  // the peer's close_notify came
    bool endOfStream = false;  // the socket reported the end of the stream
    bool broken = false;

    ~PlatTls() {
        if (haveContext) {
            DeleteSecurityContext(&context);
        }
        Release(credentials);
    }

    size_t Pending() const { return plain.size() - plainStart; }
};

namespace {

// Sends len raw bytes. PLAT_TLS_OK or a failure.
int32_t SendRaw(PlatTls* tls, const char* data, size_t len, const PlatDeadline& deadline) {
    size_t sent = 0;
    while (sent < len) {
        const size_t left = len - sent;
        const int32_t chunk = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(left);
        const int32_t n = PlatSendWithin(tls->socket, data + sent, chunk, 0, deadline.Left());
        if (n == PLAT_SEND_TIMEOUT) {
            return PLAT_TLS_TIMEOUT;
        }
        if (n <= 0) {
            tls->broken = true;
            return WaitFailure();
        }
        sent += static_cast<size_t>(n);
    }
    return PLAT_TLS_OK;
}

// Receives more raw bytes after those in `incoming`. Returns their count, 0 at the end of the
// stream, or a failure.
int32_t ReceiveRaw(PlatTls* tls, const PlatDeadline& deadline) {
    if (tls->incoming.size() - tls->incomingUsed < READ_CHUNK) {
        tls->incoming.resize(tls->incomingUsed + READ_CHUNK);
    }
    const int32_t n = PlatRecvWithin(tls->socket, tls->incoming.data() + tls->incomingUsed,
                                     static_cast<int32_t>(tls->incoming.size() - tls->incomingUsed),
                                     deadline.Left());
    if (n > 0) {
        tls->incomingUsed += static_cast<size_t>(n);
        return n;
    }
    if (n == 0) {
        tls->endOfStream = true;
        return 0;
    }
    if (n == PLAT_RECV_TIMEOUT) {
        return PLAT_TLS_TIMEOUT;
    }
    return WaitFailure();
}

// Keeps only the last `extra` bytes of `incoming` (the start of the next message).
void KeepExtra(PlatTls* tls, const SecBuffer& buffer) {
    if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0 &&
        buffer.cbBuffer <= tls->incomingUsed) {
        memmove(tls->incoming.data(), tls->incoming.data() + tls->incomingUsed - buffer.cbBuffer,
                buffer.cbBuffer);
        tls->incomingUsed = buffer.cbBuffer;
    } else {
        tls->incomingUsed = 0;
    }
}

// Sends a token SChannel produced and frees it.
int32_t SendToken(PlatTls* tls, SecBuffer* token, const PlatDeadline& deadline) {
    int32_t result = PLAT_TLS_OK;
    if (token->pvBuffer != nullptr) {
        if (token->cbBuffer > 0) {
            result =
                SendRaw(tls, static_cast<const char*>(token->pvBuffer), token->cbBuffer, deadline);
        }
        FreeContextBuffer(token->pvBuffer);
        token->pvBuffer = nullptr;
    }
    return result;
}

int32_t Handshake(PlatTls* tls, PlatDeadline deadline, int32_t cancelGraceMs, char* errorText,
                  size_t errorSize) {
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    TimeStamp expiry{};
    auto* target = const_cast<SEC_CHAR*>(tls->target.c_str());
    SECURITY_STATUS status =
        InitializeSecurityContextA(&tls->credentials->handle, nullptr, target, REQUEST_FLAGS, 0, 0,
                                   nullptr, 0, &tls->context, &outDesc, &attributes, &expiry);
    if (status != SEC_I_CONTINUE_NEEDED) {
        SetStatusText(errorText, errorSize, "InitializeSecurityContext", status);
        return PLAT_TLS_FAILED;
    }
    tls->haveContext = true;
    int32_t result = SendToken(tls, &out[0], deadline);
    if (result != PLAT_TLS_OK) {
        return result;
    }

    bool needMore = true;
    for (;;) {
        if (needMore || tls->incomingUsed == 0) {
            result = ReceiveRaw(tls, deadline);
            if (result == PLAT_TLS_CANCELLED && cancelGraceMs > 0 &&
                PlatBoundCancelTarget() != nullptr) {
                // A cancelled receive took nothing: the handshake goes on from here, briefly,
                // with waits that nothing cancels (the caller binds its target again).
                PlatBindCancelTarget(nullptr);
                const int32_t left = deadline.Left();
                deadline = PlatDeadline(left >= 0 && left < cancelGraceMs ? left : cancelGraceMs);
                continue;
            }
            if (result == 0) {
                SetText(errorText, errorSize, "the server closed the connection");
                return PLAT_TLS_FAILED;
            }
            if (result < 0) {
                return result;
            }
        }
        SecBuffer in[2] = {
            {static_cast<ULONG>(tls->incomingUsed), SECBUFFER_TOKEN, tls->incoming.data()},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        out[0] = SecBuffer{0, SECBUFFER_TOKEN, nullptr};
        status = InitializeSecurityContextA(&tls->credentials->handle, &tls->context, target,
                                            REQUEST_FLAGS, 0, 0, &inDesc, 0, nullptr, &outDesc,
                                            &attributes, &expiry);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needMore = true;
            continue;
        }
        // A token goes out also with a failure: it is the alert that tells the server why.
        const int32_t sent = SendToken(tls, &out[0], deadline);
        if (status == SEC_E_OK) {
            KeepExtra(tls, in[1]);
            return sent;
        }
        if (status == SEC_I_CONTINUE_NEEDED) {
            KeepExtra(tls, in[1]);
            needMore = tls->incomingUsed == 0;
            if (sent != PLAT_TLS_OK) {
                return sent;
            }
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate; we have none and go on without.
            needMore = false;
            continue;
        }
        SetStatusText(errorText, errorSize, "TLS handshake", status);
        return PLAT_TLS_FAILED;
    }
}

// True when the certificate has an IP address entry equal to address (network order).
// True when the certificate names the address (length 4 for IPv4, 16 for IPv6, network order)
// among its IP address entries.
bool HasIpAddress(PCCERT_CONTEXT certificate, const void* address, DWORD length) {
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                          certificate->pCertInfo->rgExtension);
    if (extension == nullptr) {
        return false;
    }
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &size)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == length &&
                memcmp(entry.IPAddress.pbData, address, length) == 0;
    }
    LocalFree(names);
    return found;
}

// The checks of the server's certificate after the handshake.
// Whether chain ends at a trusted root: with a CA file, only its certificates are roots.
// PLAT_TLS_OK or PLAT_TLS_UNTRUSTED, with the reason in errorText.
int32_t CheckChainTrust(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE trusted, char* errorText,
                        size_t errorSize) {
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    if (trusted != nullptr) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        PCCERT_CONTEXT listed = CertFindCertificateInStore(trusted, X509_ASN_ENCODING, 0,
                                                           CERT_FIND_EXISTING, root, nullptr);
        if (listed != nullptr) {
            CertFreeCertificateContext(listed);
            errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
        } else {
            errors |= CERT_TRUST_IS_UNTRUSTED_ROOT;
        }
    }
    if (errors != CERT_TRUST_NO_ERROR) {
        SetStatusText(errorText, errorSize, "certificate chain not trusted",
                      static_cast<SECURITY_STATUS>(errors));
        return PLAT_TLS_UNTRUSTED;
    }
    return PLAT_TLS_OK;
}

// The SSL policy's checks of a trusted chain, and the host name: the policy checks a name; an
// address, IPv4 in any form inet_addr takes or IPv6, is checked here against the certificate's
// IP address entries. PLAT_TLS_OK, PLAT_TLS_UNTRUSTED or PLAT_TLS_NAME_MISMATCH.
int32_t CheckPolicyAndName(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT certificate,
                           const char* hostName, bool ownRoots, char* errorText,
                           size_t errorSize) {
    const uint32_t address = PlatInetAddr(hostName);
    PlatAddress literal;
    const bool ipv6 = PlatParseAddress(hostName, &literal) == 0 &&
                      literal.family == PLAT_AF_INET6;
    const bool isAddress = address != PLAT_INADDR_NONE || ipv6;
    // The chain policy checks the name (not for an address: that is ours, below).
    std::wstring wideName;
    if (!isAddress) {
        const int length = MultiByteToWideChar(CP_ACP, 0, hostName, -1, nullptr, 0);
        wideName.resize(length > 0 ? static_cast<size_t>(length) : 1);
        MultiByteToWideChar(CP_ACP, 0, hostName, -1, wideName.data(), length);
    }
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = ownRoots ? IGNORE_UNKNOWN_CA : 0;
    ssl.pwszServerName = isAddress ? nullptr : wideName.data();
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.dwFlags = ownRoots ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS policy{};
    policy.cbSize = sizeof policy;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policy)) {
        SetText(errorText, errorSize, "certificate policy check failed");
        return PLAT_TLS_UNTRUSTED;
    }
    if (policy.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
        SetText(errorText, errorSize, "certificate is for another name");
        return PLAT_TLS_NAME_MISMATCH;
    }
    if (policy.dwError != 0) {
        SetStatusText(errorText, errorSize, "certificate refused",
                      static_cast<SECURITY_STATUS>(policy.dwError));
        return PLAT_TLS_UNTRUSTED;
    }
    if (isAddress && !(ipv6 ? HasIpAddress(certificate, literal.bytes, 16)
                                   : HasIpAddress(certificate, &address, 4))) {
        SetText(errorText, errorSize, "certificate is for another address");
        return PLAT_TLS_NAME_MISMATCH;
    }
    return PLAT_TLS_OK;
}

int32_t CheckCertificate(PlatTls* tls, const PlatTlsConfig& config, char* errorText,
                         size_t errorSize) {
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status =
        QueryContextAttributesA(&tls->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || certificate == nullptr) {
        SetStatusText(errorText, errorSize, "no server certificate", status);
        return PLAT_TLS_UNTRUSTED;
    }
    HCERTSTORE trusted = tls->credentials->trusted;
    // The certificates the server sent, and those of the CA file, to build the chain from.
    HCERTSTORE pool = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (pool != nullptr) {
        CertAddStoreToCollection(pool, certificate->hCertStore, 0, 0);
        if (trusted != nullptr) {
            CertAddStoreToCollection(pool, trusted, 0, 0);
        }
    }
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr,
                                               pool != nullptr ? pool : certificate->hCertStore,
                                               &chainPara, 0, nullptr, &chain);
    int32_t result = PLAT_TLS_UNTRUSTED;
    if (!built || chain == nullptr || chain->cChain == 0) {
        SetText(errorText, errorSize, "no certificate chain");
    } else {
        result = CheckChainTrust(chain, trusted, errorText, errorSize);
        if (result == PLAT_TLS_OK) {
            result = CheckPolicyAndName(chain, certificate, config.hostName, trusted != nullptr,
                                        errorText, errorSize);
        }
    }
    if (chain != nullptr) {
        CertFreeCertificateChain(chain);
    }
    if (pool != nullptr) {
        CertCloseStore(pool, 0);
    }
    CertFreeCertificateContext(certificate);
    return result;
}

// Makes the credentials of a new connection: those of the connection it resumes from, or new
// ones for config.
Credentials* MakeCredentials(const PlatTlsConfig& config, PlatTls* resumeFrom, char* errorText,
                             size_t errorSize, int32_t* failure) {
    if (resumeFrom != nullptr) {
        resumeFrom->credentials->references.fetch_add(1);
        return resumeFrom->credentials;
    }
    auto* credentials = new (std::nothrow) Credentials();
    if (credentials == nullptr) {
        *failure = PLAT_TLS_NO_MEMORY;
        return nullptr;
    }
    if (config.caFile != nullptr && config.verify) {
        credentials->trusted = LoadCaFile(config.caFile);
        if (credentials->trusted == nullptr) {
            SetText(errorText, errorSize, "cannot load the trusted certificates");
            *failure = PLAT_TLS_UNTRUSTED;
            delete credentials;
            return nullptr;
        }
    }
    SCHANNEL_CRED schannel{};
    schannel.dwVersion = SCHANNEL_CRED_VERSION;
    schannel.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    schannel.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry{};
    const SECURITY_STATUS status = AcquireCredentialsHandleA(
        nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &schannel,
        nullptr, nullptr, &credentials->handle, &expiry);
    if (status != SEC_E_OK) {
        SetStatusText(errorText, errorSize, "AcquireCredentialsHandle", status);
        *failure = PLAT_TLS_FAILED;
        delete credentials;
        return nullptr;
    }
    credentials->acquired = true;
    return credentials;
}

// Decrypts what `incoming` holds into `plain`. PLAT_TLS_OK when it made progress or needs more
// bytes (*needMore), 0 at close_notify, or a failure.
int32_t Decrypt(PlatTls* tls, bool* needMore) {
    *needMore = false;
    if (tls->incomingUsed == 0) {
        *needMore = true;
        return PLAT_TLS_OK;
    }
    SecBuffer buffers[4] = {
        {static_cast<ULONG>(tls->incomingUsed), SECBUFFER_DATA, tls->incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    // The content type of the record about to be decrypted (TLS 1.2 sends it in clear).
    const bool alert = static_cast<unsigned char>(tls->incoming[0]) == TLS_ALERT_RECORD;
    const SECURITY_STATUS status = DecryptMessage(&tls->context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        *needMore = true;
        return PLAT_TLS_OK;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) {
        tls->closeNotify = true;
        tls->incomingUsed = 0;
        return 0;
    }
    if (status != SEC_E_OK) {
        // Renegotiation included: a TLS 1.2 client that asked for none refuses it.
        tls->broken = true;
        return PLAT_TLS_FAILED;
    }
    if (tls->plainStart == tls->plain.size()) {
        tls->plain.clear();
        tls->plainStart = 0;
    }
    const SecBuffer* extra = nullptr;
    bool data = false;
    for (const SecBuffer& buffer : buffers) {
        data = data || (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0);
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
            const char* data = static_cast<const char*>(buffer.pvBuffer);
            tls->plain.insert(tls->plain.end(), data, data + buffer.cbBuffer);
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
            extra = &buffer;
        }
    }
    // The data was decrypted in place; the extra bytes, if any, are the next record's start.
    if (extra != nullptr) {
        KeepExtra(tls, *extra);
    } else {
        tls->incomingUsed = 0;
    }
    if (alert && !data) {
        // An alert that was no failure is close_notify. Windows reports it as
        // SEC_I_CONTEXT_EXPIRED; Wine's SChannel only as an alert record that held no data.
        tls->closeNotify = true;
        return 0;
    }
    return PLAT_TLS_OK;
}

// Waits until decrypted data is there. PLAT_TLS_OK, 0 at close_notify, PLAT_TLS_TRUNCATED, or a
// failure.
int32_t FillPlain(PlatTls* tls, const PlatDeadline& deadline) {
    while (tls->Pending() == 0) {
        if (tls->closeNotify) {
            return 0;
        }
        if (tls->broken) {
            return tls->endOfStream ? PLAT_TLS_TRUNCATED : PLAT_TLS_FAILED;
        }
        bool needMore = false;
        int32_t result = Decrypt(tls, &needMore);
        if (result != PLAT_TLS_OK) {
            return result;
        }
        if (!needMore) {
            continue;
        }
        if (tls->endOfStream) {
            tls->broken = true;
            return PLAT_TLS_TRUNCATED;
        }
        result = ReceiveRaw(tls, deadline);
        if (result == 0) {
            tls->broken = true;
            return PLAT_TLS_TRUNCATED;
        }
        if (result < 0) {
            return result;
        }
    }
    return PLAT_TLS_OK;
}

}  // namespace

static int32_t ConnectTls(PlatSocket s, const PlatTlsConfig& config, PlatTls* resumeFrom,
                          int32_t timeoutMs, PlatTls** out, char* errorText, size_t errorSize) {
    SetText(errorText, errorSize, "");
    if (out == nullptr) {
        return PLAT_TLS_FAILED;
    }
    *out = nullptr;
    if (config.verify && config.hostName == nullptr) {
        SetText(errorText, errorSize, "no host name to check the certificate against");
        return PLAT_TLS_FAILED;
    }
    auto* tls = new (std::nothrow) PlatTls();
    if (tls == nullptr) {
        return PLAT_TLS_NO_MEMORY;
    }
    tls->socket = s;
    int32_t failure = PLAT_TLS_FAILED;
    tls->credentials = MakeCredentials(config, resumeFrom, errorText, errorSize, &failure);
    if (tls->credentials == nullptr) {
        delete tls;
        return failure;
    }
    // The same target as the connection resumed from: it is the key of SChannel's session cache.
    // An address is no name to send, but it still keys the cache.
    tls->target = resumeFrom != nullptr        ? resumeFrom->target
                  : config.hostName != nullptr ? config.hostName
                                               : "";

    const PlatDeadline deadline(timeoutMs);
    PlatCancelTarget* const cancelTarget = PlatBoundCancelTarget();
    int32_t result = Handshake(tls, deadline, config.cancelGraceMs, errorText, errorSize);
    if (PlatBoundCancelTarget() != cancelTarget) {
        // The handshake went on after a cancellation: it stays cancelled unless it finished.
        PlatBindCancelTarget(cancelTarget);
        if (result != PLAT_TLS_OK) {
            result = PLAT_TLS_CANCELLED;
        }
    }
    if (result == PLAT_TLS_OK &&
        QueryContextAttributesA(&tls->context, SECPKG_ATTR_STREAM_SIZES, &tls->sizes) != SEC_E_OK) {
        SetText(errorText, errorSize, "no stream sizes");
        result = PLAT_TLS_FAILED;
    }
    if (result == PLAT_TLS_OK && config.verify) {
        result = CheckCertificate(tls, config, errorText, errorSize);
    }
    if (result != PLAT_TLS_OK) {
        if (result == PLAT_TLS_TIMEOUT) {
            SetText(errorText, errorSize, "time-out");
        } else if (result == PLAT_TLS_CANCELLED) {
            SetText(errorText, errorSize, "cancelled");
        }
        delete tls;
        return result;
    }
    *out = tls;
    return PLAT_TLS_OK;
}

static int32_t SendTls(PlatTls* tls, const void* data, int32_t len, int32_t timeoutMs) {
    if (tls == nullptr || len < 0 || (data == nullptr && len > 0) || tls->broken) {
        return PLAT_TLS_FAILED;
    }
    const PlatDeadline deadline(timeoutMs);
    const size_t most = tls->sizes.cbMaximumMessage;
    std::vector<char>& record = tls->record;
    record.resize(tls->sizes.cbHeader + most + tls->sizes.cbTrailer);
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < static_cast<size_t>(len)) {
        const size_t left = static_cast<size_t>(len) - done;
        const size_t chunk = left < most ? left : most;
        memcpy(record.data() + tls->sizes.cbHeader, bytes + done, chunk);
        SecBuffer buffers[4] = {
            {tls->sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + tls->sizes.cbHeader},
            {tls->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
             record.data() + tls->sizes.cbHeader + chunk},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&tls->context, 0, &desc, 0) != SEC_E_OK) {
            tls->broken = true;
            return PLAT_TLS_FAILED;
        }
        const int32_t sent =
            SendRaw(tls, record.data(),
                    buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer, deadline);
        if (sent != PLAT_TLS_OK) {
            return sent;
        }
        done += chunk;
    }
    return PLAT_TLS_OK;
}

static int32_t ReceiveTls(PlatTls* tls, void* buffer, int32_t len, int32_t flags,
                          int32_t timeoutMs) {
    if (tls == nullptr || len < 0 || (buffer == nullptr && len > 0)) {
        return PLAT_TLS_FAILED;
    }
    const int32_t filled = FillPlain(tls, PlatDeadline(timeoutMs));
    if (filled != PLAT_TLS_OK) {
        return filled;
    }
    if (len == 0) {
        return 1;
    }
    const size_t count =
        tls->Pending() < static_cast<size_t>(len) ? tls->Pending() : static_cast<size_t>(len);
    memcpy(buffer, tls->plain.data() + tls->plainStart, count);
    if ((flags & PLAT_TLS_PEEK) == 0) {
        tls->plainStart += count;
    }
    return static_cast<int32_t>(count);
}

int32_t PlatTlsPending(PlatTls* tls) {
    return tls != nullptr ? static_cast<int32_t>(tls->Pending()) : 0;
}

int32_t PlatTlsShutdown(PlatTls* tls, int32_t timeoutMs) {
    if (tls == nullptr || tls->broken || !tls->haveContext) {
        return PLAT_TLS_FAILED;
    }
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&tls->context, &controlDesc) != SEC_E_OK) {
        return PLAT_TLS_FAILED;
    }
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    TimeStamp expiry{};
    const SECURITY_STATUS status = InitializeSecurityContextA(
        &tls->credentials->handle, &tls->context, const_cast<SEC_CHAR*>(tls->target.c_str()),
        REQUEST_FLAGS, 0, 0, nullptr, 0, nullptr, &outDesc, &attributes, &expiry);
    const int32_t sent = SendToken(tls, &out[0], PlatDeadline(timeoutMs));
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED) {
        return PLAT_TLS_FAILED;
    }
    tls->broken = true;  // nothing more may be sent
    return sent;
}

void PlatTlsFree(PlatTls* tls) {
    delete tls;
}

void PlatTlsDescribe(PlatTls* tls, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return;
    }
    if (tls == nullptr || !tls->haveContext) {
        out[0] = '\0';
        return;
    }
    SecPkgContext_ConnectionInfo connection{};
    const char* version = "TLS";
    if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_CONNECTION_INFO, &connection) ==
        SEC_E_OK) {
        if ((connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0) {
            version = "TLSv1.3";
        } else if ((connection.dwProtocol & SP_PROT_TLS1_2_CLIENT) != 0) {
            version = "TLSv1.2";
        }
    }
    char cipher[80] = "";
    SecPkgContext_CipherInfo info{};
    info.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_CIPHER_INFO, &info) == SEC_E_OK &&
        info.szCipherSuite[0] != 0) {
        WideCharToMultiByte(CP_ACP, 0, info.szCipherSuite, -1, cipher, sizeof cipher, nullptr,
                            nullptr);
    } else {
        snprintf(cipher, sizeof cipher, "cipher 0x%04lX, %lu bits",
                 static_cast<unsigned long>(connection.aiCipher),
                 static_cast<unsigned long>(connection.dwCipherStrength));
    }
    SecPkgContext_SessionInfo session{};
    const bool resumed =
        QueryContextAttributesA(&tls->context, SECPKG_ATTR_SESSION_INFO, &session) == SEC_E_OK &&
        (session.dwFlags & SSL_SESSION_RECONNECT) != 0;
    snprintf(out, size, "%s %s%s", version, cipher, resumed ? " resumed" : "");
}

// The buffers of a connection grow with the traffic; running out of memory is a result, not an
// exception across the layer.
int32_t PlatTlsConnect(PlatSocket s, const PlatTlsConfig& config, PlatTls* resumeFrom,
                       int32_t timeoutMs, PlatTls** out, char* errorText, size_t errorSize) {
    try {
        return ConnectTls(s, config, resumeFrom, timeoutMs, out, errorText, errorSize);
    } catch (const std::bad_alloc&) {
        SetText(errorText, errorSize, "out of memory");
        return PLAT_TLS_NO_MEMORY;
    }
}

int32_t PlatTlsSend(PlatTls* tls, const void* data, int32_t len, int32_t timeoutMs) {
    try {
        return SendTls(tls, data, len, timeoutMs);
    } catch (const std::bad_alloc&) {
        return PLAT_TLS_NO_MEMORY;
    }
}

int32_t PlatTlsRecv(PlatTls* tls, void* buffer, int32_t len, int32_t flags, int32_t timeoutMs) {
    try {
        return ReceiveTls(tls, buffer, len, flags, timeoutMs);
    } catch (const std::bad_alloc&) {
        return PLAT_TLS_NO_MEMORY;
    }
}
