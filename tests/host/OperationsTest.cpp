// Undoable operations: steps kept in order, undone last-first and redone
// first-last; component moves between their two placements; the history.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <qlk/Kernel.h>

namespace {

using du::SmartPtr;

class LoggingStep : public qlk::OperationStep {
public:
    LoggingStep(std::string name, std::vector<std::string> &log)
        : name_(std::move(name)), log_(log) {}
    const char *GetDebugClassName() const override { return "LoggingStep"; }
    void Undo() override { log_.push_back("undo " + name_); }
    void Redo() override { log_.push_back("redo " + name_); }

private:
    std::string name_;
    std::vector<std::string> &log_;
};

dg::Location At(double x, double y, double z) {
    return dg::Location(dg::FMat33(0, 0, 1, 1, 0, 0, 0, 1, 0), dg::DPoint3D(x, y, z));
}

class OperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        blocksAtStart_ = qlk::MemoryPoolAllocated::BlocksInUse();
        scene = new qlk::ShapeScene;
        part = new qlk::Instance("part");
        shape = scene->CreateShapeInstance(part, At(0, 0, 0));
    }
    void TearDown() override {
        scene.reset();
        shape.reset();
        EXPECT_EQ(qlk::MemoryPoolAllocated::BlocksInUse(), blocksAtStart_) << "a step leaked";
    }

    SmartPtr<qlk::Operation> Logged(const std::vector<std::string> &names) {
        SmartPtr<qlk::Operation> operation(new qlk::Operation);
        for (const auto &name : names)
            EXPECT_TRUE(operation->AddStep(new LoggingStep(name, log)));
        return operation;
    }

    dg::Location Now() const {
        dg::Location location;
        shape->GetLocation(location);
        return location;
    }

    std::vector<std::string> log;
    SmartPtr<qlk::ShapeScene> scene;
    SmartPtr<qlk::Instance> part;
    SmartPtr<qlk::ShapeInstance> shape;

private:
    std::size_t blocksAtStart_ = 0;
};

TEST_F(OperationsTest, UndoRunsStepsLastFirstAndRedoFirstLast) {
    SmartPtr<qlk::Operation> operation = Logged({"start", "move", "end"});
    EXPECT_FALSE(operation->AddStep(nullptr));
    EXPECT_EQ(operation->GetSteps().size(), 3u);
    operation->Undo();
    operation->Redo();
    EXPECT_EQ(log, (std::vector<std::string>{"undo end", "undo move", "undo start", "redo start",
                                             "redo move", "redo end"}));
}

TEST_F(OperationsTest, ComponentMovePlacesItsInstanceAtOnce) {
    scene->SmoothExplode(1000, {shape}, {At(9, 9, 9)}, false);
    SmartPtr<qlk::OperationStep> step(
        new qlk::ComponentMoveOperationStep(shape, At(1, 2, 3), At(4, 5, 6), true, false));
    EXPECT_EQ(shape->GetReferenceCount(), 3) << "the fixture, the scene and the step";
    step->Undo();
    EXPECT_FALSE(scene->IsAnimating()) << "undo ends a running animation";
    EXPECT_EQ(Now(), At(1, 2, 3));
    step->Redo();
    EXPECT_EQ(Now(), At(4, 5, 6));
}

TEST_F(OperationsTest, HistoryUndoesAndRedoesWholeOperations) {
    qlk::History history;
    EXPECT_FALSE(history.Undo());
    history.Push(Logged({"a1", "a2"}));
    history.Push(Logged({"b"}));
    EXPECT_TRUE(history.Undo());
    EXPECT_TRUE(history.Undo());
    EXPECT_FALSE(history.Undo());
    EXPECT_TRUE(history.Redo());
    EXPECT_EQ(log,
              (std::vector<std::string>{"undo b", "undo a2", "undo a1", "redo a1", "redo a2"}));
    history.Push(Logged({"c"}));
    EXPECT_EQ(history.GetUndoneCount(), 0u) << "a new operation drops what could be redone";
    EXPECT_FALSE(history.Redo());
    EXPECT_EQ(history.GetDoneCount(), 2u);
}

} // namespace
