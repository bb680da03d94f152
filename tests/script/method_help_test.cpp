// The help a host shows agrees with what the module registers and what ftpSetOption takes.

#include "method_help.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ftp.h"
#include "method_table.h"

namespace {

TEST(MethodHelp, EveryMethodAndEveryOptionHasItsRowWithTheEnginesRangeAndDefault) {
    std::istringstream table(kScriptMethodTable);
    std::string line;
    size_t methods = 0;
    while (std::getline(table, line)) {
        if (line.rfind("xtra ", 0) == 0 || line.rfind("--", 0) == 0) {
            continue;
        }
        std::string name = line.substr(0, line.find(' '));
        const MethodHelp* help = FindMethodHelp(name.c_str());
        ASSERT_NE(help, nullptr) << name << " has no row in the help table";
        size_t arguments = 0;
        for (size_t at = line.find(", "); at != std::string::npos; at = line.find(", ", at + 1)) {
            ++arguments;
        }
        size_t explained = help->arguments[0] == '\0' ? 0 : 1;
        for (const char* c = help->arguments; *c != '\0'; ++c) {
            explained += *c == '\n';
        }
        // TransferType's values come from their own table.
        EXPECT_EQ(explained + (line.find("TransferType") != std::string::npos), arguments) << name;
        ++methods;
    }
    EXPECT_EQ(methods, kMethodHelpCount);

    const char* name = nullptr;
    int32_t minimum = 0, maximum = 0, defaultValue = 0;
    bool text = false;
    size_t options = 0;
    for (int32_t i = 0; FtpOptionAt(i, &name, &minimum, &maximum, &defaultValue, &text); ++i) {
        const OptionHelp* help = FindOptionHelp(name);
        ASSERT_NE(help, nullptr) << name << " has no row in the help table";
        EXPECT_EQ(help->text, text) << name;
        EXPECT_EQ(help->minimum, minimum) << name;
        EXPECT_EQ(help->maximum, maximum) << name;
        if (!text) {
            EXPECT_EQ(help->defaultValue, std::to_string(defaultValue)) << name;
        }
        ++options;
    }
    EXPECT_EQ(options, kOptionHelpCount);
}

}  // namespace
