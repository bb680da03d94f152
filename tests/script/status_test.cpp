// The status and result methods, object numbering and the listing file, through the module's
// binary interface, with no server: operations that find no connection end at once.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "module_fixture.h"

namespace ktest {
namespace {

using StatusTest = ModuleTest;
using Lines = std::vector<std::string>;

TEST_F(StatusTest, AFreshObjectReportsNothingStartedAndOk) {
    int32_t newResult = -1;
    HostObject* object = NewObject(&newResult);
    EXPECT_EQ(newResult, 0);
    EXPECT_EQ(CallInt(object, "ftpDone"), 1);
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    EXPECT_EQ(CallText(object, "ftpErrorMessage"), "OK");
    EXPECT_EQ(CallKind(object, "ftpResult"), ValueKind::Void);
    EXPECT_EQ(CallInt(object, "ftpBytesTransferred"), 0);
    EXPECT_EQ(CallInt(object, "ftpBytesToBeTransferred"), 0);
    EXPECT_EQ(CallInt(object, "ftpAbort"), 0);
    // A number outside the table does nothing and stores nothing.
    HostValue result = host->Call(object, 99, {});
    EXPECT_EQ(HostEnvironment::KindOf(result), ValueKind::Void);
    result = host->Call(object, -1, {});
    EXPECT_EQ(HostEnvironment::KindOf(result), ValueKind::Void);
}

TEST_F(StatusTest, ListingComesBackLineByLineWithoutLineEnds) {
    HostObject* object = NewObject();
    std::string line300(300, 'x');
    line300[254] = 'a';
    line300[255] = 'b';
    // The listing file as an earlier ftpDir left it; this ftpDir finds no connection and leaves
    // the file alone.
    WriteFile(ListingPath(0), "first\r\n\r\nsecond\n\n" + line300 + "\r\nlast");
    ASSERT_EQ(CallInt(object, "ftpDir", {"", 1}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1003);
    Lines expected = {"first", "", "second", "", line300.substr(0, 255), line300.substr(255),
                      "last"};
    EXPECT_EQ(CallList(object, "ftpResult"), expected);
    // Values made for the list items were all given back.
    EXPECT_EQ(env->LiveValues(), 0u);

    // ftpCWD does not change what ftpResult returns.
    ASSERT_EQ(CallInt(object, "ftpCWD", {"/"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallList(object, "ftpResult"), expected);

    // forget deletes the listing file; the result is then an empty list.
    EXPECT_EQ(CallInt(object, "forget"), 0);
    EXPECT_FALSE(FileExists(ListingPath(0)));
    EXPECT_EQ(CallList(object, "ftpResult"), Lines{});
}

TEST_F(StatusTest, ObjectsAreNumberedInOrderAndEachHasAListingFileOfItsOwn) {
    // Each object's listing file is found by what forget deletes. The thousandth object does not
    // share the first one's file.
    const std::string first = ListingPath(0);
    for (int32_t key = 0; key <= 1001; ++key) {
        std::string path = ListingPath(key);
        WriteFile(path, "x\n");
        HostObject* object = NewObject();
        ASSERT_NE(object, nullptr);
        if (key == 0) {
            EXPECT_EQ(path, runDir + "/FTPDir" + std::to_string(getpid()) + "-001");
        }
        if (key == 1000) {
            WriteFile(first, "x\n");  // must survive the forget of the object numbered 1001
        }
        EXPECT_EQ(CallInt(object, "forget"), 0);
        ASSERT_FALSE(FileExists(path)) << "object with key " << key;
        host->ReleaseObject(object);
    }
    EXPECT_TRUE(FileExists(first));
    EXPECT_EQ(host->canUnloadNow(), HOST_OK);
}

// Every process of a user shares the private directory: another process's first object, with
// its ftpDir and forget, leaves this process's first object's listing alone.
TEST_F(StatusTest, AnotherProcessNeverTouchesThisProcesssListingFile) {
    HostObject* object = NewObject();
    WriteFile(ListingPath(0), "mine\n");
    ASSERT_EQ(CallInt(object, "ftpDir", {"", 1}), 0);  // not connected: the file stays as it is
    ASSERT_TRUE(WaitDone(object));
    const std::string script = workDir + "/other.ks";
    WriteFile(script, "new b\nftpDir b \"\" 1\nwait b 20\nforget b\n");
    // The other process inherits XDG_RUNTIME_DIR, and with it the same directory.
    const std::string command = std::string(KESTREL_HOST_PATH) + " " + script + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(CallList(object, "ftpResult"), Lines{"mine"});
}

// A listing file goes with its object: when the host releases the object without forget, and
// when the host process ends without releasing it.
TEST_F(StatusTest, AListingFileGoesWhenItsObjectIsReleasedOrItsProcessEnds) {
    HostObject* released = NewObject();
    WriteFile(ListingPath(0), "x\n");
    host->ReleaseObject(released);
    EXPECT_FALSE(FileExists(ListingPath(0)));

    NewObject();
    WriteFile(ListingPath(1), "x\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A host that ends at once, its objects never released. What a leak check of the
        // half-torn-down process might say is not this test's business.
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_FALSE(FileExists(ListingPath(1)));
}

TEST_F(StatusTest, ADirectoryOthersCanWriteIsRefusedWith5003) {
    ASSERT_EQ(chmod(runDir.c_str(), 0777), 0);
    int32_t newResult = 0;
    HostObject* object = NewObject(&newResult);
    EXPECT_EQ(newResult, 5003);
    // The session exists all the same and forget still cleans it up.
    EXPECT_EQ(CallInt(object, "forget"), 0);
    host->ReleaseObject(object);
    EXPECT_EQ(host->canUnloadNow(), HOST_OK);
}

TEST_F(StatusTest, WorkerMethodsWithoutASessionStartNothingAndReportNoSession) {
    HostObject* object = NewObject();
    ASSERT_EQ(CallInt(object, "forget"), 0);
    struct {
        const char* method;
        std::vector<Arg> args;
    } calls[] = {
        {"ftpLogin", {"127.0.0.1", "u", "p"}},
        {"ftpDir", {"", 0}},
        {"ftpRecvFile", {"r", workDir + "/l", 73}},
        {"ftpAppendToLocalFile", {"r", workDir + "/l", 73}},
        {"ftpSendFile", {workDir + "/l", "r", 73}},
        {"ftpAppendToRemoteFile", {workDir + "/l", "r", 73}},
        {"ftpRenameFile", {"a", "b"}},
        {"ftpDeleteFile", {"a"}},
        {"ftpDeleteDirectory", {"a"}},
        {"ftpCreateDirectory", {"a"}},
        {"ftpCDUp", {}},
        {"ftpCWD", {""}},
        {"ftpPWD", {}},
        {"ftpHelp", {""}},
        {"ftpCommand", {"NOOP"}},
    };
    for (auto& call : calls) {
        EXPECT_EQ(CallInt(object, call.method, call.args), 1002) << call.method;
        EXPECT_EQ(CallInt(object, "ftpDone"), 1) << call.method;
    }
    EXPECT_EQ(CallInt(object, "ftpRestartRecvFile", {"r", workDir + "/l", 73, "5"}), 1002);
    EXPECT_FALSE(FileExists(workDir + "/l"));
    EXPECT_EQ(CallInt(object, "ftpLogout"), 1002);
    EXPECT_EQ(CallInt(object, "forget"), 0);
}

TEST_F(StatusTest, RestartsPrepareTheLocalFileBeforeTheEngineRuns) {
    HostObject* object = NewObject();
    // A restarted download creates a missing local file, then finds no connection; the file it
    // made is removed again, since nothing was written into it.
    std::string local = workDir + "/partial";
    ASSERT_EQ(CallInt(object, "ftpRestartRecvFile", {"r", local, 73, 0}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1003);
    EXPECT_FALSE(FileExists(local));
    // An existing file keeps its contents.
    WriteFile(local, "0123456789");
    ASSERT_EQ(CallInt(object, "ftpRestartRecvFile", {"r", local, 73, 4}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(ReadFile(local), "0123456789");
    // A restarted upload of a missing file ends with 1004; a negative position is refused at
    // the call.
    ASSERT_EQ(CallInt(object, "ftpRestartSendFile", {workDir + "/missing", "r", 73, 0}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1004);
    EXPECT_EQ(CallInt(object, "ftpRestartSendFile", {local, "r", 73, -5}), 1000);
    EXPECT_EQ(CallInt(object, "forget"), 0);
}

}  // namespace
}  // namespace ktest
