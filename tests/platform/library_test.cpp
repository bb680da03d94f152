// Loading a library the way a host loads the module, the running program's directory, and the
// host's own window as the owner of the windows the module makes.

#include "library.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform.h"
#include "threads.h"

namespace {

std::string ProgramDirectory() {
    char directory[1024];
    const uint32_t length = PlatProgramDirectory(directory, sizeof directory);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, sizeof directory);
    return length > 0 && length < sizeof directory ? std::string(directory, length) : std::string();
}

TEST(LibraryTest, ProgramDirectoryHoldsThisProgramAndReportsTheSizeNeeded) {
    const std::string directory = ProgramDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), PLAT_PATH_SEPARATOR);
    FILE* self = fopen((directory + KESTREL_TEST_PROGRAM_NAME).c_str(), "rb");
    EXPECT_NE(self, nullptr) << directory;
    if (self != nullptr) {
        fclose(self);
    }
    char tiny[2];
    EXPECT_EQ(PlatProgramDirectory(tiny, sizeof tiny), directory.size() + 1);
}

TEST(LibraryTest, LoadedLibraryGivesItsFunctionsAndNoOthers) {
    const std::string path = ProgramDirectory() + KESTREL_TEST_LIBRARY_NAME;
    char error[256] = "";
    PlatLibrary* library = PlatLibraryLoad(path.c_str(), error, sizeof error);
    ASSERT_NE(library, nullptr) << path << ": " << error;
    using Answer = int (*)(int);
    auto answer = reinterpret_cast<Answer>(PlatLibrarySymbol(library, "KestrelTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(1), 43);
    EXPECT_EQ(PlatLibrarySymbol(library, "KestrelNoSuchFunction"), nullptr);
    PlatLibraryFree(library);
}

TEST(LibraryTest, MissingLibraryFailsWithAReason) {
    const std::string path = ProgramDirectory() + "no-such-library-here";
    char error[256] = "";
    EXPECT_EQ(PlatLibraryLoad(path.c_str(), error, sizeof error), nullptr);
    EXPECT_NE(error[0], '\0');
    char tiny[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(PlatLibraryLoad(path.c_str(), tiny, sizeof tiny), nullptr);
    EXPECT_EQ(tiny[3], '\0');  // cut, and terminated inside the buffer
}

TEST(LibraryTest, HostWindowOwnsTheWindowsMadeWithItsInstance) {
    PlatWindow host = PlatHostWindowCreate();
    ASSERT_NE(host, nullptr);
    // What a session does with the window the host hands it.
    PlatInstance instance = PlatWindowInstance(host);
    EXPECT_NE(instance, nullptr);
    ASSERT_EQ(PlatWindowClassRegister(instance), 0);
    PlatWindow session = PlatWindowCreate(host, instance);
    EXPECT_NE(session, nullptr);
    PlatWindowDestroy(session);
    EXPECT_EQ(PlatWindowClassUnregister(instance), 0);
    PlatHostWindowDestroy(host);

    // A second host window after the first is gone (the class of host windows stays).
    host = PlatHostWindowCreate();
    EXPECT_NE(host, nullptr);
    PlatHostWindowDestroy(host);
}

}  // namespace
