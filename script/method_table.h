// The method table of the script class: the text registered with the host under "msgTable", and
// the numbers the host gives the methods (their order in that text, from 0).
#pragma once

#include <cstdint>

enum ScriptMethod : int32_t {
    METHOD_NEW = 0,
    METHOD_FORGET = 1,
    METHOD_LOGIN = 2,
    METHOD_LOGOUT = 3,
    METHOD_DIR = 4,
    METHOD_RECV_FILE = 5,
    METHOD_RESTART_RECV_FILE = 6,
    METHOD_APPEND_TO_LOCAL_FILE = 7,
    METHOD_SEND_FILE = 8,
    METHOD_RESTART_SEND_FILE = 9,
    METHOD_APPEND_TO_REMOTE_FILE = 10,
    METHOD_RENAME_FILE = 11,
    METHOD_DELETE_FILE = 12,
    METHOD_DELETE_DIRECTORY = 13,
    METHOD_CREATE_DIRECTORY = 14,
    METHOD_CDUP = 15,
    METHOD_CWD = 16,
    METHOD_PWD = 17,
    METHOD_HELP = 18,
    METHOD_COMMAND = 19,
    METHOD_ABORT = 20,
    METHOD_BYTES_TRANSFERRED = 21,
    METHOD_BYTES_TO_BE_TRANSFERRED = 22,
    METHOD_DONE = 23,
    METHOD_RESULT = 24,
    METHOD_ERROR_CODE = 25,
    METHOD_ERROR_MESSAGE = 26,
    METHOD_SET_OPTION = 27,
    METHOD_LAST_REPLY = 28,
    METHOD_PROGRESS = 29,
    METHOD_FILE_INFO = 30,
    METHOD_COUNT = 31
};

// The method table text: header line, comment lines, one line per method; LF line ends.
extern const char* const kScriptMethodTable;
