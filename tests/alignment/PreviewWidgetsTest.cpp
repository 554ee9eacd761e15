// The two preview widgets: when they are shown, where they stand, previewing
// a candidate without setting it, and switching the live preview.
#include <functional>
#include <limits>

#include "MotionFixture.h"

namespace qltest {
namespace {

using PreviewWidgets = AlignmentFixture;

TEST_F(PreviewWidgets, NeitherIsShownAtFirst) {
    Start({});
    EXPECT_EQ(host.scene->GetMarkupCount(), 0u);
    SmartPtr<moduleutils::DerivedCSys> csys;
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_ORIGIN, csys), Alignment::CSYS_NONE);
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_TARGET, csys), Alignment::CSYS_NONE);
}

TEST_F(PreviewWidgets, SceneAxesShowTheGreenWidgetAndUndefiningHidesItInPlace) {
    Start({});
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM,
                       CSys(Placement(1, 2, 3, 10, 20, 30)));
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
    ASSERT_TRUE(Shown(Alignment::CSYS_ORIGIN));
    EXPECT_FALSE(Shown(Alignment::CSYS_TARGET));
    EXPECT_EQ(WidgetLocation(Alignment::CSYS_ORIGIN), dg::Location::IDENTITY);

    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_NONE, nullptr);
    EXPECT_FALSE(Shown(Alignment::CSYS_ORIGIN));
    EXPECT_EQ(WidgetLocation(Alignment::CSYS_ORIGIN), dg::Location::IDENTITY);
}

TEST_F(PreviewWidgets, EverySetShowsOrHidesAgain) {
    Start({});
    host.scene->ClearMarkupCalls();
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_NONE, nullptr);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_NONE, nullptr);

    const qlmk::CSysPreviewWidget *target = Widget(Alignment::CSYS_TARGET);
    ASSERT_NE(target, nullptr);
    const auto &calls = host.scene->GetMarkupCalls();
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].markup, target);
        EXPECT_EQ(calls[i].add, i < 2);
    }
    EXPECT_EQ(host.scene->GetMarkupCount(), 0u);
}

TEST_F(PreviewWidgets, ACandidateMovesOnlyTheWidget) {
    auto part = host.AddInstance("part", Placement(1, 0, 0, 0, 0, 30));
    Start({part});
    Define(Placement(0, 0, 0), Placement(5, 0, 0));
    Settle();

    auto invalid = CSys(Placement(7, 7, 7), false);
    EXPECT_FALSE(alignment->PreviewCustomCSys(Alignment::CSYS_TARGET, invalid));
    EXPECT_FALSE(Shown(Alignment::CSYS_TARGET));
    EXPECT_EQ(WidgetLocation(Alignment::CSYS_TARGET), Placement(5, 0, 0));

    const dg::Location candidate = Placement(0, 4, 0, 0, 0, 90);
    EXPECT_TRUE(alignment->PreviewCustomCSys(Alignment::CSYS_TARGET, CSys(candidate)));
    EXPECT_TRUE(Shown(Alignment::CSYS_TARGET));
    EXPECT_EQ(WidgetLocation(Alignment::CSYS_TARGET), candidate);
    SmartPtr<moduleutils::DerivedCSys> csys;
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_TARGET, csys), Alignment::CSYS_CUSTOM);
    EXPECT_NE(csys.get(), nullptr);
    EXPECT_EQ(observer->Take(), Events());
    EXPECT_TRUE(host.scene->GetExplodeCalls().empty());

    // The next run, whatever starts it, aligns onto the candidate: the part
    // one unit along the origin's X ends one unit along the candidate's X.
    alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO);
    dg::Location expected = Placement(0, 0, 0, 0, 0, 120);
    expected.pos = dg::DPoint3D(0, 5, 0);
    EXPECT_TRUE(LocationNear(host.FinalLocation(part), expected));
}

TEST_F(PreviewWidgets, ANullOrUnknownCandidateIsRefused) {
    Start({});
    Define(Placement(1, 2, 3), Placement(4, 5, 6));
    const std::size_t callsBefore = host.scene->GetMarkupCalls().size();
    EXPECT_FALSE(
        alignment->PreviewCustomCSys(static_cast<Alignment::CSYS_ID>(2), CSys(Placement(0, 0, 0))));
    EXPECT_EQ(host.scene->GetMarkupCalls().size(), callsBefore);

    EXPECT_FALSE(alignment->PreviewCustomCSys(Alignment::CSYS_ORIGIN, nullptr));
    EXPECT_FALSE(Shown(Alignment::CSYS_ORIGIN));
    EXPECT_TRUE(Shown(Alignment::CSYS_TARGET));
    EXPECT_EQ(WidgetLocation(Alignment::CSYS_ORIGIN), Placement(1, 2, 3));
}

// A host system whose validity changes each time it is asked.
class FlickeringCSys : public moduleutils::DerivedCSys {
public:
    FlickeringCSys(const dg::Location &location, bool first) : DerivedCSys(location, first) {}
    bool IsValid() const override {
        ++asked;
        const bool now = DerivedCSys::IsValid();
        const_cast<FlickeringCSys *>(this)->SetValid(!now);
        return now;
    }
    mutable int asked = 0;
};

TEST_F(PreviewWidgets, TheAnswerIsTheCandidatesValidityAskedAgain) {
    Start({});
    Define(Placement(1, 2, 3), Placement(4, 5, 6));

    SmartPtr<FlickeringCSys> validThenNot(new FlickeringCSys(Placement(0, 9, 0), true));
    EXPECT_FALSE(alignment->PreviewCustomCSys(Alignment::CSYS_TARGET, validThenNot));
    EXPECT_EQ(validThenNot->asked, 2);
    EXPECT_TRUE(Shown(Alignment::CSYS_TARGET)); // shown on the first answer
    EXPECT_EQ(WidgetLocation(Alignment::CSYS_TARGET), Placement(0, 9, 0));

    SmartPtr<FlickeringCSys> notThenValid(new FlickeringCSys(Placement(0, 0, 9), false));
    EXPECT_TRUE(alignment->PreviewCustomCSys(Alignment::CSYS_ORIGIN, notThenValid));
    EXPECT_EQ(notThenValid->asked, 2);
    EXPECT_FALSE(Shown(Alignment::CSYS_ORIGIN));
    EXPECT_EQ(WidgetLocation(Alignment::CSYS_ORIGIN), Placement(1, 2, 3));

    // Valid, but nowhere the scene can draw: hidden and answered false.
    dg::Location nowhere = Placement(0, 0, 0);
    nowhere.pos.y = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(alignment->PreviewCustomCSys(Alignment::CSYS_ORIGIN, CSys(nowhere)));
    EXPECT_FALSE(Shown(Alignment::CSYS_ORIGIN));
}

TEST_F(PreviewWidgets, SwitchingThePreviewMovesThePartsButNotTheWidgets) {
    const dg::Location stored = Placement(1, 0, 0, 0, 0, 30);
    auto part = host.AddInstance("part", stored);
    Start({part});
    Define(Placement(0, 0, 0), Placement(5, 0, 0));
    const dg::Location aligned = host.FinalLocation(part);
    Settle();

    alignment->SetPreviewed(false);
    EXPECT_FALSE(alignment->GetPreviewed());
    EXPECT_TRUE(MovedTo(part, stored, 0));
    EXPECT_EQ(TakeDurations(), std::vector<int>({1000}));
    EXPECT_TRUE(Shown(Alignment::CSYS_ORIGIN));
    EXPECT_TRUE(Shown(Alignment::CSYS_TARGET));
    alignment->SetPreviewed(false);
    EXPECT_EQ(TakeDurations(), std::vector<int>());

    alignment->SetPreviewed(true);
    EXPECT_TRUE(MovedTo(part, aligned, 0));
    EXPECT_EQ(TakeDurations(), std::vector<int>({1000}));
    alignment->SetPreviewed(true);
    EXPECT_EQ(TakeDurations(), std::vector<int>());
    EXPECT_EQ(observer->Take(), Events());
}

// With immediate delivery an observer sees the state at the moment of posting:
// the widget already shown or hidden, the parts not yet moved.
class ProbingObserver : public RecordingObserver {
public:
    void OnCSysChanged(int id, int type,
                       const du::SmartPtr<moduleutils::DerivedCSys> &csys) override {
        RecordingObserver::OnCSysChanged(id, type, csys);
        if (probe)
            probe();
    }
    std::function<void()> probe;
};

class PreviewWidgetsImmediate : public AlignmentFixture {
protected:
    void SetUp() override { dom::MessageLoop::SetImmediate(true); }
    void TearDown() override {
        prober->probe = nullptr;
        if (alignment)
            alignment->UnregisterObserver(*prober);
        AlignmentFixture::TearDown();
        dom::MessageLoop::SetImmediate(false);
    }
    SmartPtr<ProbingObserver> prober{new ProbingObserver};
};

TEST_F(PreviewWidgetsImmediate, TheEventFollowsTheWidgetAndPrecedesTheMove) {
    auto part = host.AddInstance("part", Placement(1, 2, 3));
    Start({part});
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    alignment->RegisterObserver(*prober);
    Settle();

    std::vector<std::pair<bool, std::size_t>> seen;
    prober->probe = [&] {
        seen.emplace_back(Shown(Alignment::CSYS_ORIGIN), host.scene->GetExplodeCalls().size());
    };
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
    // The set operation's event, then the refresh's: both before the one move.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(true, std::size_t{0}));
    EXPECT_EQ(seen[1], std::make_pair(true, std::size_t{0}));
    EXPECT_EQ(host.scene->GetExplodeCalls().size(), 1u);

    seen.clear();
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_NONE, nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(false, std::size_t{1}));
}

} // namespace
} // namespace qltest
