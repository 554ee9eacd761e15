// The selection manager: items, queries, and the notifications its observers
// receive, including observers that rewire the list while being notified.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <qlk/Kernel.h>

namespace {

using du::SmartPtr;
using Items = std::vector<SmartPtr<qlk::SelectionItem>>;

// Logs every notification as text, prefixed with its name.
class LoggingSelectionObserver : public qlk::SelectionObserver {
public:
    LoggingSelectionObserver(std::string name, std::vector<std::string> &log)
        : name_(std::move(name)), log_(log) {}
    void OnSelectionChanged(unsigned int context, bool interactive, const Items &added,
                            const Items &removed) override {
        Log("changed " + std::to_string(context) + (interactive ? " i +" : " +") +
            std::to_string(added.size()) + " -" + std::to_string(removed.size()));
    }
    void OnSelectionChange1() override { Log("added"); }
    void OnSelectionChange2() override { Log("removed"); }
    void OnSelectionChange3() override { Log("cleared"); }
    void BeginSelectionUpdate() override { Log("begin"); }
    void EndSelectionUpdate() override { Log("end"); }

    std::function<void()> onChange;

private:
    void Log(const std::string &line) {
        log_.push_back(name_ + " " + line);
        if (std::function<void()> disruption = onChange)
            disruption();
    }
    std::string name_;
    std::vector<std::string> &log_;
};

// A part item of another class than ObjectSelectionItem.
class DerivedItem : public qlk::ObjectSelectionItem {
public:
    using qlk::ObjectSelectionItem::ObjectSelectionItem;
};

class SelectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        du::RefAudit::Enable(true);
        manager = new qlk::SelectionManager;
        bolt = new qlk::Instance("bolt");
        frame = new qlk::Instance("frame");
        boltItem = new qlk::ObjectSelectionItem(bolt, qlk::mcad_selection::Instance, true);
        frameItem = new qlk::ObjectSelectionItem(frame, qlk::mcad_selection::Assembly);
        group = new qlk::CollectionSelectionItem(new du::RefCounted, du::Symbol("Group"), nullptr,
                                                 {boltItem}, {});
    }

    SmartPtr<LoggingSelectionObserver> Observe(const std::string &name) {
        SmartPtr<LoggingSelectionObserver> observer(new LoggingSelectionObserver(name, log));
        EXPECT_TRUE(manager->RegisterObserver(0, *observer));
        return observer;
    }

    std::vector<std::string> TakeLog() {
        std::vector<std::string> taken;
        taken.swap(log);
        return taken;
    }

    std::vector<std::string> log;
    SmartPtr<qlk::SelectionManager> manager;
    SmartPtr<qlk::Instance> bolt, frame;
    SmartPtr<qlk::SelectionItem> boltItem, frameItem, group;
};

TEST_F(SelectionTest, RegistrationHoldsOneReferenceAndRefusesASecond) {
    SmartPtr<LoggingSelectionObserver> observer = Observe("a");
    EXPECT_EQ(observer->GetReferenceCount(), 2);
    EXPECT_FALSE(manager->RegisterObserver(0, *observer));
    EXPECT_EQ(observer->GetReferenceCount(), 2);
    EXPECT_TRUE(manager->UnregisterObserver(0, *observer));
    EXPECT_FALSE(manager->UnregisterObserver(0, *observer));
    EXPECT_EQ(observer->GetReferenceCount(), 1);
    manager->Select(boltItem);
    EXPECT_TRUE(log.empty());
}

TEST_F(SelectionTest, EachChangeNotifiesTheGeneralThenTheSpecificCall) {
    Observe("a");
    manager->Select(boltItem);
    manager->Select(frameItem);
    manager->Select(boltItem); // already selected: no change, no notification
    manager->Deselect(boltItem);
    manager->Deselect(boltItem);
    manager->Clear();
    manager->Clear();
    EXPECT_EQ(TakeLog(),
              (std::vector<std::string>{"a changed 0 i +1 -0", "a added", "a changed 0 i +1 -0",
                                        "a added", "a changed 0 i +0 -1", "a removed",
                                        "a changed 0 i +0 -1", "a cleared"}));
}

TEST_F(SelectionTest, SetSelectionIsOneGroupOfChanges) {
    manager->Select(frameItem);
    Observe("a");
    manager->SetSelection({boltItem, group});
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"a begin", "a changed 0 i +0 -1", "a cleared",
                                                   "a changed 0 i +1 -0", "a added",
                                                   "a changed 0 i +1 -0", "a added", "a end"}));
    EXPECT_EQ(manager->GetSelection(), (Items{boltItem, group}));
}

TEST_F(SelectionTest, QueriesAppendMatchingItemsInSelectionOrder) {
    manager->SetSelection({group, frameItem, boltItem});
    Items items{frameItem};
    manager->GetSelectedItems(0, {qlk::mcad_selection::Instance, qlk::mcad_selection::Assembly},
                              items, qlk::EXPAND_AS_SELECTED);
    EXPECT_EQ(items, (Items{frameItem, frameItem, boltItem}));
    Items collections;
    manager->GetSelectedItems(7, qlk::mcad_selection::Collection, collections, qlk::EXPAND_ALL);
    EXPECT_EQ(collections, (Items{group}));

    ASSERT_EQ(manager->GetQueries().size(), 2u);
    EXPECT_EQ(manager->GetQueries()[0].typeCount, 2u);
    EXPECT_EQ(manager->GetQueries()[0].rule, qlk::EXPAND_AS_SELECTED);
    EXPECT_EQ(manager->GetQueries()[1].context, 7u);
    EXPECT_EQ(manager->GetQueries()[1].rule, qlk::EXPAND_ALL);

    for (unsigned int i = 0; i < 100; ++i)
        manager->GetSelectedItems(i, std::set<du::Symbol>(), items, qlk::EXPAND_NONE);
    EXPECT_EQ(manager->GetQueries().size(), 64u);
    EXPECT_EQ(manager->GetQueries().back().context, 99u) << "the latest are kept";
}

TEST_F(SelectionTest, ItemsAreTheSameSelectionByClassObjectAndContent) {
    const SmartPtr<qlk::SelectionItem> sameBolt(
        new qlk::ObjectSelectionItem(bolt, qlk::mcad_selection::Instance, false));
    const SmartPtr<qlk::SelectionItem> boltAsAssembly(
        new qlk::ObjectSelectionItem(bolt, qlk::mcad_selection::Assembly));
    const SmartPtr<qlk::SelectionItem> derived(
        new DerivedItem(bolt, qlk::mcad_selection::Instance));
    EXPECT_TRUE(*boltItem == *sameBolt);
    EXPECT_FALSE(*boltItem == *boltAsAssembly);
    EXPECT_FALSE(*boltItem == *derived);
    EXPECT_FALSE(*derived == *boltItem);
    EXPECT_FALSE(*boltItem == *group);

    const auto *collection = static_cast<const qlk::CollectionSelectionItem *>(group.get());
    const SmartPtr<qlk::SelectionItem> sameGroup(new qlk::CollectionSelectionItem(
        collection->GetComparisonObj(), du::Symbol("Other"), bolt, {}, {}));
    EXPECT_TRUE(*group == *sameGroup);
    EXPECT_FALSE(*group == *boltItem);
    EXPECT_EQ(group->GetContentType(), qlk::mcad_selection::Collection);
    EXPECT_EQ(boltItem->GetCollectionType(), du::Symbol::EMPTY);

    manager->Select(boltItem);
    manager->Deselect(sameBolt);
    EXPECT_TRUE(manager->GetSelection().empty()) << "deselecting removes equal items";
}

TEST_F(SelectionTest, ObserversMayUnregisterThemselvesAndOthersWhileNotified) {
    SmartPtr<LoggingSelectionObserver> first = Observe("first");
    SmartPtr<LoggingSelectionObserver> second = Observe("second");
    SmartPtr<LoggingSelectionObserver> third = Observe("third");
    LoggingSelectionObserver *secondRaw = second.get();
    second.reset(); // now only the manager holds it
    first->onChange = [&] {
        manager->UnregisterObserver(0, *third);
        first->onChange = nullptr;
    };
    secondRaw->onChange = [&] { manager->UnregisterObserver(0, *secondRaw); };
    manager->Select(boltItem);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"first changed 0 i +1 -0", "first added",
                                                   "second changed 0 i +1 -0", "second added"}))
        << "the unregistered observer hears nothing more, not even the rest of this change";
    EXPECT_EQ(manager->GetObserverCount(), 1u);
    EXPECT_EQ(third->GetReferenceCount(), 1);
}

TEST_F(SelectionTest, GroupBracketsAreForwardedToEveryObserver) {
    Observe("a");
    Observe("b");
    manager->BeginSelectionUpdate();
    manager->EndSelectionUpdate();
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"a begin", "b begin", "a end", "b end"}));
}

} // namespace
