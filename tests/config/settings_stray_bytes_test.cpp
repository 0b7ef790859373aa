// Settings files with bytes a text editor does not show: the file is
// dismissed with a message that names what is wrong and stays whole when it
// is handed on as a C string.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "config/global_parameters.h"
#include "support/whole_run.h"

using namespace ldi;

namespace {

std::string dismissal(const std::string& text) {
    std::istringstream input(text);
    std::ostringstream errors;
    AnalysisSetup setup;
    EXPECT_FALSE(readSettingsFile(input, setup.parameters, errors)) << text;
    EXPECT_EQ(setup.parameters.autoRegressionOrder, 1);
    return errors.str();
}

}  // namespace

TEST(SettingsStrayBytes, NulBytesAndAByteOrderMarkAreNamed) {
    const std::string nul = "Line 2 of LDIPlugin.ini holds a NUL byte; save the file as plain text";
    EXPECT_EQ(dismissal(std::string("AutoRegressionOrder= 3\nAuto\0RegressionOrder= 3\n", 48)), nul);
    EXPECT_EQ(dismissal(std::string("\nAutoRegressionOrder= 3\0\n", 25)), nul);
    EXPECT_EQ(dismissal(std::string("// x\n\0\n", 7)), nul);
    EXPECT_EQ(dismissal("\xEF\xBB\xBF" "AutoRegressionOrder= 3\n"),
              "LDIPlugin.ini starts with a byte order mark; save it as plain text without one");
    EXPECT_EQ(dismissal("\xEF\xBB\xBF"),
              "LDIPlugin.ini starts with a byte order mark; save it as plain text without one");

    // A NUL inside a comment line is as harmless as the rest of the comment.
    std::istringstream input(std::string("// a\0b\nAutoRegressionOrder= 3\n", 30));
    std::ostringstream errors;
    AnalysisSetup setup;
    EXPECT_TRUE(readSettingsFile(input, setup.parameters, errors)) << errors.str();
    EXPECT_EQ(setup.parameters.autoRegressionOrder, 3);
}
