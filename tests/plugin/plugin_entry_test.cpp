#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/fake_host.h"
#include "base/host_api.h"
#include "plugin/ldi_plugin.h"

using namespace ldi;

namespace {

class PluginEntry : public FakeHostTest {};

const char* const tooOldMessage =
    "Sorry, can not execute the LDI plugin - Synapsa version 2.1.0 or higher required.";

TEST_F(PluginEntry, InitPluginAcceptsHostsFromVersionTwoPointOne) {
    struct Case {
        int major, minor, patch;
        bool accepted;
    };
    const Case cases[] = {{2, 1, 0, true},  {2, 0, 9, false}, {1, 9, 9, false}, {2, 2, 0, true},
                          {3, 0, 0, true},  {2, 1, 7, true},  {2, 1, -1, false}, {1, 99, 99, false},
                          {3, 0, -4, true}, {2, 2, -1, true}};
    for (const Case& c : cases) {
        host().reset();
        host().versionMajor = c.major;
        host().versionMinor = c.minor;
        host().versionPatch = c.patch;
        LDIPlugin plugin;
        EXPECT_EQ(plugin.initPlugin(), c.accepted) << c.major << "." << c.minor << "." << c.patch;
        if (c.accepted) {
            EXPECT_TRUE(host().messageBoxes.empty());
        } else {
            ASSERT_EQ(host().messageBoxes.size(), 1u);
            EXPECT_EQ(host().messageBoxes[0], tooOldMessage);
        }
        EXPECT_EQ(host().callCount("syGetVersionOfSynapsa"), 1);
    }
}

TEST_F(PluginEntry, InitPluginFailsSilentlyWithoutTheVersionFunction) {
    host().missingFunctions = {"syGetVersionOfSynapsa"};
    LDIPlugin plugin;
    EXPECT_FALSE(plugin.initPlugin());
    EXPECT_TRUE(host().calls.empty());

    // Attaching again once the host offers the function works.
    host().missingFunctions.clear();
    EXPECT_TRUE(plugin.initPlugin());
}

TEST_F(PluginEntry, ExecuteBeforeAnyHostIsAttachedOnlyRefuses) {
    // A table of stand-ins only: every answer is a refusal.
    ASSERT_FALSE(installHostApi(HostApi{}));
    LDIPlugin plugin;
    EXPECT_FALSE(plugin.execute());
    EXPECT_TRUE(host().calls.empty());
}

TEST(PluginExports, InformationTexts) {
    EXPECT_STREQ(getPluginName(), "Lagged Dependency Imaging (LDI) v1.5");
    EXPECT_STREQ(getHelpFile(), "LDI_Help/main.html");
    EXPECT_STREQ(getRegistrationOfGenericComponentLoader(), "Overlay Lagged Dependency Maps (ldi)");
    ASSERT_NE(getGUIScript(), nullptr);
    EXPECT_STREQ(getGUIScript(), "");
    ASSERT_NE(getAuthor(), nullptr);
    EXPECT_GT(std::strlen(getAuthor()), 0u);
    EXPECT_STREQ(getPluginDescription(),
                 "Computes Lagged Dependency Maps (<i>LDI</i>s) for selected reference regions "
                 "(VOIs).<br><br>Lagged dependency imaging is a technique which explores directed "
                 "influences (effective connectivity) between distinct regions in fMRI data. See "
                 "The <b><a href=\"LDI_Help/main.html\">LDI Help Pages</a></b> for more...<br>");
    EXPECT_STREQ(pluginVersion, "1.5");
}

TEST(PluginExports, CreatePluginGivesIndependentObjects) {
    std::unique_ptr<SYNAPluginInterface> first(createPlugin());
    std::unique_ptr<SYNAPluginInterface> second(createPlugin());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first.get(), second.get());
    auto* firstPlugin = dynamic_cast<LDIPlugin*>(first.get());
    auto* secondPlugin = dynamic_cast<LDIPlugin*>(second.get());
    ASSERT_NE(firstPlugin, nullptr);
    ASSERT_NE(secondPlugin, nullptr);
    EXPECT_TRUE(firstPlugin->echoSelections);
    EXPECT_TRUE(secondPlugin->echoSelections);
}

// The built library, loaded the way a host loads it.
TEST(PluginLibrary, LoadsAndRefusesAProgramThatIsNoHost) {
    void* library = dlopen(LDI_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using TextFunction = const char* (*)();
    using Factory = SYNAPluginInterface* (*)();
    auto name = reinterpret_cast<TextFunction>(dlsym(library, "getPluginName"));
    auto factory = reinterpret_cast<Factory>(dlsym(library, "createPlugin"));
    ASSERT_NE(name, nullptr);
    ASSERT_NE(factory, nullptr);
    EXPECT_STREQ(name(), "Lagged Dependency Imaging (LDI) v1.5");
    SYNAPluginInterface* plugin = factory();
    ASSERT_NE(plugin, nullptr);
    // This test program exports no host functions, so attaching must fail
    // quietly rather than call through an empty entry.
    EXPECT_FALSE(plugin->initPlugin());
    EXPECT_FALSE(plugin->execute());
    delete plugin;
    dlclose(library);
}

class HostTable : public FakeHostTest {};

TEST_F(HostTable, MissingFunctionsAnswerAsARefusingHost) {
    EXPECT_FALSE(installHostApi(HostApi{}));
    EXPECT_EQ(hostApi.syGetVersionOfSynapsa, nullptr);

    char buffer[8] = "garbage";
    EXPECT_EQ(hostApi.syGetPluginsPath(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    std::strcpy(buffer, "garbage");
    EXPECT_LT(hostApi.syGetIntegerInput("?", 1, 0, 3), 0);
    EXPECT_EQ(hostApi.syGetTextInput("?", "", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(hostApi.syGetOpenFileName("t", "", "f", buffer, sizeof buffer), 0);
    EXPECT_EQ(hostApi.syGetSaveFileName("t", "", "", buffer, sizeof buffer), 0);
    EXPECT_EQ(hostApi.syGetCurrentVMR(nullptr, nullptr, nullptr), nullptr);
    SyVtcHeader vtc{};
    hostApi.syGetVTCOfCurrentVMR(&vtc);
    EXPECT_EQ(vtc.linkState, -1);
    SyVoiList list{7, 1};
    hostApi.syGetVOIs(&list);
    EXPECT_EQ(list.voiCount, 0);
    SyVoi voi{};
    EXPECT_EQ(hostApi.syGetVOI(0, &voi), nullptr);
    SyProtocol protocol{};
    EXPECT_EQ(hostApi.syGetProtocol(&protocol), 0);
    SyMapSetHeader set{};
    EXPECT_EQ(hostApi.syCreateNRVMPsForCurrentVMR(1, 0, 1, &set), 0);
    EXPECT_EQ(hostApi.syGetNRVMPsOfCurrentVMR(&set), nullptr);
    SyMapHeader map{};
    EXPECT_EQ(hostApi.syGetNRVMPOfCurrentVMR(0, &map), nullptr);
    EXPECT_EQ(hostApi.sySaveNRVMPsOfCurrentVMR("x.ldi"), 0);
    hostApi.syLogText("nothing happens");
    hostApi.syDeleteNRVMPsOfCurrentVMR();
    EXPECT_TRUE(host().calls.empty());
}

TEST_F(HostTable, OnlyTheMissingFunctionsAreReplaced) {
    host().missingFunctions = {"syMessageBox", "syGetIntegerInput"};
    EXPECT_TRUE(host().install());
    host().answerInteger(2);
    hostApi.syMessageBox("lost");
    EXPECT_LT(hostApi.syGetIntegerInput("?", 1, 0, 3), 0);
    hostApi.syLogText("kept");
    EXPECT_EQ(host().callNames(), std::vector<std::string>{"syLogText"});
    EXPECT_EQ(host().script.size(), 1u);
}

TEST_F(HostTable, ResolvingInAProgramWithoutHostFunctionsFailsAndKeepsTheTable) {
    EXPECT_FALSE(resolveHostApi());
    hostApi.syLogText("still the fake");
    EXPECT_EQ(host().logTexts, std::vector<std::string>{"still the fake"});
}

}  // namespace
