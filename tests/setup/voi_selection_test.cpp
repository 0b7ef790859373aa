#include <string>

#include "setup_dialog_fixture.h"

using namespace ldi;

namespace {

const std::string menuIntroduction =
    "<b>Welcome to the LDI-Plugin</b><br><br><b>Select VOIs</b><br>Each LDI is computed with "
    "respect to a selectable reference region (VOI). You can select multiple VOIs to compute "
    "multiple LDIs in one run of the LDI-plugin.<br><br><b>Add a VOI as a reference "
    "region:</b><br>0. <i>Stop selecting</i><br>";

class VoiSelectionTest : public SetupDialogTest {
protected:
    void addThreeVois() {
        host().addVoi("Left", {{1, 2, 3}, {4, 5, 6}});
        host().addVoi("Mid", {{7, 8, 9}});
        host().addVoi("Right", {{10, 11, 12}, {13, 14, 15}, {16, 17, 18}});
    }
};

TEST_F(VoiSelectionTest, DuplicateChoiceIsRefusedAndTheMenuNumbersEveryVoi) {
    addThreeVois();
    host().coordsConvention = 1;
    host().answerInteger(2);
    host().answerInteger(2);
    host().answerInteger(0);

    EXPECT_EQ(selectVois(plugin.echoSelections, setup, voiList()), 1);

    ASSERT_EQ(setup.vois.size(), 1u);
    const SelectedVoi& voi = setup.vois[0];
    EXPECT_EQ(voi.name, "Mid");
    EXPECT_EQ(voi.hostIndex, 1);
    EXPECT_EQ(voi.voxelCount, 1);
    ASSERT_NE(voi.voxels, nullptr);
    EXPECT_EQ(voi.voxels, host().vois[1].coordinates.data());  // borrowed, not copied
    EXPECT_EQ(voi.coordsConvention, 1);
    EXPECT_EQ(host().messageBoxes, std::vector<std::string>{setup_messages::voiAlreadySelected});

    // The same menu every time, range 0 to n+1, default 1.
    const std::string menu = menuIntroduction +
                             "1. Left<br>2. Mid<br>3. Right<br>4. <i>Add all</i>";
    int asked = 0;
    for (const FakeCall& call : host().calls) {
        if (call.function != "syGetIntegerInput") continue;
        ++asked;
        EXPECT_EQ(call.texts[0], menu);
        EXPECT_EQ(call.numbers, (std::vector<long long>{1, 0, 4}));
    }
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(VoiSelectionTest, StoppingWithNoVoiIsRefused) {
    addThreeVois();
    host().answerInteger(0);
    host().answerInteger(3);
    host().answerInteger(1);
    host().answerInteger(0);

    EXPECT_EQ(selectVois(plugin.echoSelections, setup, voiList()), 1);

    EXPECT_EQ(host().messageBoxes, std::vector<std::string>{setup_messages::noVoiSelected});
    ASSERT_EQ(setup.vois.size(), 2u);
    EXPECT_EQ(setup.vois[0].hostIndex, 2);  // selection order, not list order
    EXPECT_EQ(setup.vois[1].hostIndex, 0);
}

TEST_F(VoiSelectionTest, AddAllReplacesEarlierChoicesWithTheWholeListInOrder) {
    addThreeVois();
    host().answerInteger(3);
    host().answerInteger(4);

    EXPECT_EQ(selectVois(plugin.echoSelections, setup, voiList()), 1);

    ASSERT_EQ(setup.vois.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(setup.vois[i].hostIndex, i);
        EXPECT_EQ(setup.vois[i].name, host().vois[i].name);
        EXPECT_EQ(setup.vois[i].voxelCount, i == 0 ? 2 : (i == 1 ? 1 : 3));
    }
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "// LDI> Selected VOI's:\n// LDI> ",
                            "// LDI> <b>Right</b>",
                            "// LDI> Added <b>ALL</b> (other) VOI's in current VOI-list",
                        }));
}

TEST_F(VoiSelectionTest, TwoVoisWithTheSameNameAreDistinct) {
    host().addVoi("V", {{1, 1, 1}});
    host().addVoi("V", {{2, 2, 2}});
    host().answerInteger(2);
    host().answerInteger(1);
    host().answerInteger(0);

    EXPECT_EQ(selectVois(plugin.echoSelections, setup, voiList()), 1);

    ASSERT_EQ(setup.vois.size(), 2u);
    EXPECT_EQ(setup.vois[0].hostIndex, 1);
    EXPECT_EQ(setup.vois[1].hostIndex, 0);
    EXPECT_TRUE(host().messageBoxes.empty());
}

TEST_F(VoiSelectionTest, CancelEndsWithZeroAndKeepsEarlierChoices) {
    addThreeVois();
    host().answerInteger(1);
    host().answerCancel();

    EXPECT_EQ(selectVois(plugin.echoSelections, setup, voiList()), 0);
    ASSERT_EQ(setup.vois.size(), 1u);
    EXPECT_EQ(setup.vois[0].hostIndex, 0);
}

TEST_F(VoiSelectionTest, NothingIsEchoedWhenEchoingIsOff) {
    addThreeVois();
    plugin.echoSelections = false;
    host().answerInteger(1);
    host().answerInteger(4);

    EXPECT_EQ(selectVois(plugin.echoSelections, setup, voiList()), 1);
    EXPECT_TRUE(logged().empty());
}

TEST_F(VoiSelectionTest, LongListKeepsEveryNumberInTheMenu) {
    const std::string longName(200, 'n');
    for (int i = 0; i < 40; ++i) host().addVoi(longName + std::to_string(i), {{i, i, i}});
    host().answerInteger(40);
    host().answerInteger(0);

    EXPECT_EQ(selectVois(plugin.echoSelections, setup, voiList()), 1);

    const std::string menu = prompts("syGetIntegerInput").at(0);
    for (int i = 0; i < 40; ++i)
        EXPECT_NE(menu.find(std::to_string(i + 1) + ". " + longName + std::to_string(i) + "<br>"),
                  std::string::npos)
            << "VOI " << i + 1;
    const std::string addAll = "<br>41. <i>Add all</i>";
    EXPECT_EQ(menu.substr(menu.size() - addAll.size()), addAll);
    ASSERT_EQ(setup.vois.size(), 1u);
    EXPECT_EQ(setup.vois[0].name, longName + "39");
}

}  // namespace
