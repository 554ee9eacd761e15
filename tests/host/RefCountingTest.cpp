// The reference protocol of du::RefCounted and du::SmartPtr, the audit, and the
// other du utilities (symbols, strings, the common heap).
#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include <dom/Messaging.h>
#include <du/Localizer.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <du/Symbol.h>
#include <qlk/Kernel.h>

namespace {

using du::RefAudit;
using du::SmartPtr;

// Counts live instances; its hook can refuse destruction or look around first.
class Probe : public du::RefCounted {
public:
    Probe() { ++live; }
    Probe(const Probe &other) : du::RefCounted(other) { ++live; }
    Probe &operator=(const Probe &) = default;
    ~Probe() override { --live; }
    bool ZeroReferenceCountHook() const override {
        ++hookCalls;
        if (onZero)
            onZero();
        return allowDestruction;
    }

    static int live;
    bool allowDestruction = true;
    mutable int hookCalls = 0;
    std::function<void()> onZero;
    SmartPtr<Probe> child;
};
int Probe::live = 0;

// RefCounted reached through a virtual base at a non-zero offset.
struct Padding {
    virtual ~Padding() = default;
    double payload[3] = {1, 2, 3};
};
class VirtualProbe : public Padding, public virtual du::RefCounted {
public:
    VirtualProbe() { ++live; }
    ~VirtualProbe() override { --live; }
    static int live;
};
int VirtualProbe::live = 0;

class SmartPtrProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        RefAudit::Enable(true);
        liveAtStart_ = Probe::live;
    }
    void TearDown() override { EXPECT_EQ(Probe::live, liveAtStart_) << "a probe leaked"; }

private:
    int liveAtStart_ = 0;
};

TEST_F(SmartPtrProtocol, EachPointerHoldsOneReferenceUnderItsOwnAddress) {
    SmartPtr<Probe> first(new Probe);
    SmartPtr<Probe> second(first);
    du::ConstSmartPtr<Probe> third(first);
    EXPECT_EQ(first->GetReferenceCount(), 3);
    EXPECT_EQ(RefAudit::Holders(first.get()),
              (std::vector<void *>{&first, &second, static_cast<void *>(&third)}));
    second.reset();
    EXPECT_EQ(RefAudit::Holders(first.get()),
              (std::vector<void *>{&first, static_cast<void *>(&third)}));
}

TEST_F(SmartPtrProtocol, LastReleaseAsksTheHookOnceAndDestroys) {
    auto *probe = new Probe;
    int hookCallsSeen = -1;
    probe->onZero = [&] { hookCallsSeen = probe->hookCalls; };
    {
        SmartPtr<Probe> held(probe);
        SmartPtr<Probe> other(held);
        other.reset();
        EXPECT_EQ(probe->hookCalls, 0) << "the hook is for the last reference only";
    }
    EXPECT_EQ(hookCallsSeen, 1);
}

TEST_F(SmartPtrProtocol, HookAnsweringFalseKeepsTheObjectAndTheReleasingReference) {
    auto *probe = new Probe;
    const int live = Probe::live;
    std::vector<void *> holdersWhileHeld;
    {
        SmartPtr<Probe> held(probe);
        holdersWhileHeld = RefAudit::Holders(probe);
        probe->allowDestruction = false;
    }
    EXPECT_EQ(Probe::live, live);
    EXPECT_EQ(probe->GetReferenceCount(), 1);
    EXPECT_EQ(RefAudit::Holders(probe), holdersWhileHeld);
    ASSERT_EQ(holdersWhileHeld.size(), 1u);
    EXPECT_EQ(probe->RemoveReference(holdersWhileHeld[0]), 0);
    delete probe;
}

TEST_F(SmartPtrProtocol, AssigningTheHeldObjectChangesNothing) {
    SmartPtr<Probe> held(new Probe);
    SmartPtr<Probe> alias(held);
    const std::vector<void *> holders = RefAudit::Holders(held.get());
    held = alias;
    held = held.get();
    held = *&held;
    EXPECT_EQ(held->GetReferenceCount(), 2);
    EXPECT_EQ(RefAudit::Holders(held.get()), holders);
    EXPECT_EQ(held->hookCalls, 0);
}

TEST_F(SmartPtrProtocol, NewObjectIsReferencedBeforeTheOldIsReleased) {
    SmartPtr<Probe> held(new Probe);
    auto *successor = new Probe;
    int successorCountWhenOldReleased = -1;
    held->onZero = [&] { successorCountWhenOldReleased = successor->GetReferenceCount(); };
    held = successor;
    EXPECT_EQ(successorCountWhenOldReleased, 1);
}

TEST_F(SmartPtrProtocol, AssigningAnObjectOwnedOnlyByTheOldOneKeepsIt) {
    SmartPtr<Probe> held(new Probe);
    held->child = new Probe;
    Probe *child = held->child.get();
    held = child; // releasing the parent releases the child's other reference
    ASSERT_EQ(held.get(), child);
    EXPECT_EQ(child->GetReferenceCount(), 1);
    EXPECT_EQ(RefAudit::Holders(child), std::vector<void *>{&held});
}

TEST_F(SmartPtrProtocol, VirtualBaseIsReachedAndDestroyedThroughItsOffset) {
    const int live = VirtualProbe::live;
    {
        SmartPtr<VirtualProbe> probe(new VirtualProbe);
        SmartPtr<du::RefCounted> asBase(probe);
        const du::RefCounted *base = probe.get();
        ASSERT_NE(static_cast<const void *>(base), static_cast<const void *>(probe.get()));
        EXPECT_EQ(base->GetReferenceCount(), 2);
        EXPECT_EQ(RefAudit::Holders(base), (std::vector<void *>{&probe, &asBase}));
        probe.reset();
        EXPECT_EQ(VirtualProbe::live, live + 1);
    }
    EXPECT_EQ(VirtualProbe::live, live);
}

TEST_F(SmartPtrProtocol, CheckedDowncastAddsItsOwnReference) {
    SmartPtr<dom::ManagedObject> object(new dom::ManagedObject);
    EXPECT_FALSE(du::DynamicCast<qlk::Kernel>(object));
    SmartPtr<du::RefCounted> base(object);
    SmartPtr<dom::ManagedObject> back = du::DynamicCast<dom::ManagedObject>(base);
    EXPECT_EQ(back, object);
    EXPECT_EQ(object->GetReferenceCount(), 3);
}

class ReferenceAuditTest : public SmartPtrProtocol {};

TEST_F(ReferenceAuditTest, ACopyStartsWithoutReferences) {
    SmartPtr<Probe> original(new Probe);
    Probe copy(*original);
    EXPECT_EQ(copy.GetReferenceCount(), 0);
    EXPECT_TRUE(RefAudit::Holders(&copy).empty());
    copy = *original;
    EXPECT_EQ(copy.GetReferenceCount(), 0);
    EXPECT_EQ(original->GetReferenceCount(), 1);
}

TEST_F(ReferenceAuditTest, SnapshotFollowsTrackedObjectsUntilTheyDie) {
    const auto before = RefAudit::Snapshot();
    const std::size_t liveBefore = RefAudit::LiveObjects();
    {
        SmartPtr<Probe> probe(new Probe);
        SmartPtr<Probe> again(probe);
        auto during = RefAudit::Snapshot();
        ASSERT_EQ(during.count(probe.get()), 1u);
        EXPECT_EQ(during[probe.get()], 2);
        EXPECT_EQ(RefAudit::LiveObjects(), liveBefore + 1);
    }
    EXPECT_EQ(RefAudit::Snapshot(), before);
}

TEST_F(ReferenceAuditTest, ObjectsBuiltWhileDisabledAreNotTracked) {
    RefAudit::Enable(false);
    SmartPtr<Probe> untracked(new Probe);
    RefAudit::Enable(true);
    EXPECT_EQ(RefAudit::Snapshot().count(untracked.get()), 0u);
    EXPECT_TRUE(RefAudit::Holders(untracked.get()).empty());
    EXPECT_EQ(untracked->GetReferenceCount(), 1);
}

TEST_F(ReferenceAuditTest, AReaderDropsATravellingReferenceUnderItsOwnAddress) {
    SmartPtr<Probe> held(new Probe);
    held->AddReference(RefAudit::TravellingHolder());
    int reader = 0;
    EXPECT_EQ(held->RemoveReference(&reader), 1);
    EXPECT_EQ(RefAudit::Holders(held.get()), std::vector<void *>{&held});
}

TEST_F(ReferenceAuditTest, RemovingBelowZeroIsAProgrammingError) {
    Probe probe;
    int holder = 0;
    EXPECT_DEBUG_DEATH(probe.RemoveReference(&holder), "without references");
    EXPECT_EQ(probe.GetReferenceCount(), 0);
}

TEST(Symbols, EqualTextsShareOneEntry) {
    const std::string text = "mcad_part_probe";
    du::Symbol a(text.c_str());
    du::Symbol b(text);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.c_str(), b.c_str());
    EXPECT_NE(a, du::Symbol("mcad_part_probe2"));
    EXPECT_EQ(du::Symbol(), du::Symbol::EMPTY);
    EXPECT_EQ(du::Symbol(static_cast<const char *>(nullptr)), du::Symbol::EMPTY);
    EXPECT_EQ(du::Symbol(""), du::Symbol::EMPTY);
    EXPECT_TRUE(du::Symbol::EMPTY.IsEmpty());
}

TEST(Symbols, SelectionContentTypesAreDistinctAndNamed) {
    const du::Symbol types[] = {qlk::mcad_selection::Instance, qlk::mcad_selection::Assembly,
                                qlk::mcad_selection::Collection};
    for (const auto &type : types)
        EXPECT_FALSE(type.IsEmpty());
    EXPECT_NE(types[0], types[1]);
    EXPECT_NE(types[1], types[2]);
    EXPECT_NE(types[0], types[2]);
}

struct LocalizerCase {
    const char *bundle;
    const char *key;
    du::Localizer::ActionOnFailure action;
    const char *expected;
};

class LocalizerTable : public ::testing::TestWithParam<LocalizerCase> {};

TEST_P(LocalizerTable, AnswersTheBundleTextOrTheFailureAction) {
    const LocalizerCase &c = GetParam();
    EXPECT_EQ(du::Localizer(c.bundle).LocalizeMessage(c.key, c.action), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, LocalizerTable,
    ::testing::Values(LocalizerCase{"qlbase:qlmodulesStrings", "ALIGNPARTS_TARGET",
                                    du::Localizer::RETURN_KEY, "Target"},
                      LocalizerCase{"qlbase:qlmodulesStrings", "ALIGNPARTS_ORIGIN",
                                    du::Localizer::RETURN_EMPTY, "Origin"},
                      LocalizerCase{"qlbase:qlmodulesStrings", "NO_SUCH_KEY",
                                    du::Localizer::RETURN_KEY, "NO_SUCH_KEY"},
                      LocalizerCase{"qlbase:qlmodulesStrings", "NO_SUCH_KEY",
                                    du::Localizer::RETURN_EMPTY, ""},
                      LocalizerCase{"qlbase:otherStrings", "ALIGNPARTS_TARGET",
                                    du::Localizer::RETURN_KEY, "ALIGNPARTS_TARGET"}));

TEST(CommonHeap, ProxiesReturnTheirBlocks) {
    const std::size_t before = du::CommonAllocatorImpl::BlocksInUse();
    dom::Observer observer;
    {
        SmartPtr<dom::ObserverProxy> proxy(new dom::ObserverProxy(observer));
        EXPECT_EQ(du::CommonAllocatorImpl::BlocksInUse(), before + 1);
    }
    EXPECT_EQ(du::CommonAllocatorImpl::BlocksInUse(), before);
}

} // namespace
