// The message catalogue: one row per (code, message), searched in order. Codes 2 and 1004 have
// two rows each; the first one found is the one used.

#include "result_codes.h"

namespace {

struct MessageRow {
    int32_t code;
    const char* message;
};

constexpr MessageRow kMessages[] = {
    {0, "OK"},
    {1, "Password is required"},
    {2, "Account is required"},
    {2, "Account is required"},
    {3, "Restart command was successful"},
    {-1, "Transfer aborted by user"},
    {4, "Server has closed the data connection"},
    {1000, "Error in parameters"},
    {1001, "FTP session is already in use"},
    {1002, "Kestrel Xtra was not initialized"},
    {1003, "Not connected to a server"},
    {1004, "Can not open the specified file"},
    {1004, "Can not open the specified file"},
    {1005, "Can not write into file (disk full?)"},
    {1006, "No active session"},
    {1007, "Session is still active"},
    {1008, "File action was not taken"},
    {1009, "Server rejected user ID/Password"},
    {1010, "Server can not open remote file"},
    {1011, "Host refused the transfer"},
    {1012, "Winsock.DLL ver 1.1 or later is required"},
    {1013, "Close failed"},
    {1014, "Temporary error during FtpDelete"},
    {1015, "Firewall rejected user ID/Password"},
    {1016, "Function is only available in synchronous mode"},
    {2001, "Can not resolve host address"},
    {2002, "Host does not send an answer"},
    {2003, "Error during connection"},
    {2004, "Host has no FTP server"},
    {2005, "Can not send data (network down)"},
    {2006, "Connection on data-port failed"},
    {2007, "Timeout occured"},
    {2008, "Error during connection with Firewall"},
    {2009, "Firewall has no FTP server"},
    {3001, "An unexpected answer was received"},
    {3002, "Host rejected the TYPE command"},
    {3003, "Host cannot execute the command"},
    {3004, "PWD cmd OK, but answer has no directory"},
    {3005, "Server don't support passive mode"},
    {5002, "Insufficient free resources"},
    {5003, "Insuffisent Heap memory"},
    {5004, "No socket available"},
    {5005, "Bind is not succesful"},
    {5006, "Host system is not in the list"},
    {4001, "Server refused TLS"},
    {4002, "TLS handshake failed"},
    {4003, "Server certificate is not trusted"},
    {4004, "Server certificate does not match the host name"},
    {4005, "Server requires TLS"},
    {2010, "Transfer ended short"},
    {2011, "Host name look-up timed out"},
    {3006, "Transfer verification failed"},
};
// The 44 rows of the classic catalogue, the five of TLS and the three of whole transfers.
static_assert(sizeof kMessages / sizeof kMessages[0] == 52);

}  // namespace

const char* FtpErrorMessage(int32_t code) {
    for (const MessageRow& row : kMessages) {
        if (row.code == code) {
            return row.message;
        }
    }
    return "Unknown Error";
}
