// A product tree deeper than a host's thread has stack for one call per level:
// a chain of a million nodes is listed, moved, moved back and released on a
// thread with 256 KB of stack, as a host's worker thread may have.
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "support/TestScene.h"

namespace qltest {
namespace {

constexpr std::size_t kSmallStack = 256 * 1024;
// A million links; fewer where every access costs many times more (the
// sanitizers, valgrind's memcheck sets QLALIGNPARTS_DEEP_CHAIN): far beyond
// what a walk of one call per level could reach on 256 KB all the same.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultChainLength = 100000;
#else
constexpr int kDefaultChainLength = 1000000;
#endif

int ChainLength() {
    const char *length = std::getenv("QLALIGNPARTS_DEEP_CHAIN");
    return length ? std::max(2, std::atoi(length)) : kDefaultChainLength;
}

// Runs `body` to its end on a thread of its own with `stackSize` bytes of stack.
void RunOnStackOf(std::size_t stackSize, const std::function<void()> &body) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, stackSize), 0);
    pthread_t thread;
    auto *task = const_cast<std::function<void()> *>(&body);
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void *argument) -> void * {
                      (*static_cast<std::function<void()> *>(argument))();
                      return nullptr;
                  },
                  task),
              0);
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

TEST(DeepProductTrees, AMillionLevelChainIsListedMovedMovedBackAndReleasedOnASmallStack) {
    // A reference audit of a million nodes would cost more than the walk itself.
    du::RefAudit::Enable(false);
    const int kChainLength = ChainLength();
    RunOnStackOf(kSmallStack, [kChainLength] {
        TestScene host;
        // Each link one step further along X: the deepest ends a million steps out.
        SmartPtr<qlk::Instance> root = host.AddInstance("link", Placement(0, 0, 0));
        SmartPtr<qlk::Instance> deepest = root;
        for (int i = 1; i < kChainLength; ++i)
            deepest = host.AddInstance("link", Placement(i, 0, 0), deepest);
        const dg::Location deepestHome = Placement(kChainLength - 1, 0, 0);
        {
            SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
            alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
            alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM,
                               CSys(Placement(0, 5, 0, 0, 0, 90)));
            host.Select({TestScene::AssemblyItem(root)});
            alignment->AddSelected();
            EXPECT_EQ(alignment->GetNumAssemblies(), 1u);
            // Turned a quarter about Z and lifted by 5: X becomes Y.
            EXPECT_TRUE(LocationNear(host.FinalLocation(deepest),
                                     Placement(0, kChainLength - 1 + 5, 0, 0, 0, 90)));
            EXPECT_TRUE(LocationNear(host.FinalLocation(root), Placement(0, 5, 0, 0, 0, 90)));

            alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_NONE, nullptr);
            EXPECT_TRUE(LocationNear(host.FinalLocation(deepest), deepestHome));
            host.scene->FinishAnimations();
        }
        deepest = nullptr;
        root = nullptr;
    });
    du::RefAudit::Enable(true);
}

} // namespace
} // namespace qltest
