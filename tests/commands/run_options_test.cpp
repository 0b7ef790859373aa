// The options of `ldi run`: the shorthand's answers follow the order the
// options were typed in, whatever option kind they belong to.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/run_command.h"
#include "host/shorthand.h"

using namespace ldi;

TEST(CommandLine, ShorthandKeepsTheOrderItWasTypedIn) {
    const char* argv[] = {"run",        "--vtc",       "a.vtc",    "--condition", "Rest", "--data", "a.vtc",
                          "--interval", "5-100",       "--select-voi", "2",      "--condition", "Task",
                          "--data",     "b.vtc",       "--interval", "1-9",     "--out", "P", "--quiet"};
    RunOptions options;
    std::string problem;
    ASSERT_TRUE(parseRunOptions(int(sizeof argv / sizeof *argv), argv, options, problem)) << problem;
    EXPECT_TRUE(options.quiet);
    EXPECT_EQ(options.vtcPath, "a.vtc");
    std::vector<std::string> typed;
    for (const ShorthandItem& item : options.shorthand)
        typed.push_back(std::string(shorthandOptionName(item.option)) + "=" + item.value);
    EXPECT_EQ(typed, (std::vector<std::string>{"--condition=Rest", "--data=a.vtc", "--interval=5-100",
                                               "--select-voi=2", "--condition=Task", "--data=b.vtc",
                                               "--interval=1-9", "--out=P"}));
    const char* twoValues[] = {"run", "--data", "a.vtc", "b.vtc"};
    EXPECT_FALSE(parseRunOptions(4, twoValues, options, problem));
}
