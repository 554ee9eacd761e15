// qlk: the host's scene kernel, as far as the align-parts tool uses it.
//
// A product tree of Instances; a ShapeScene in which each instance may have a
// ShapeInstance (its drawable counterpart, with a placement in scene
// coordinates independent of its parent's); a SelectionManager with its
// selection items and observers; markups shown in the scene; annotations;
// undoable Operations made of OperationSteps.
//
// Placements move through SmoothExplode: at once for a duration of 0,
// otherwise animated on the scene's clock (milliseconds), which the host (or a
// test) advances with AdvanceClock.
//
// Typical use (a test building a scene):
//   du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
//   du::SmartPtr<qlk::ShapeView> view(new qlk::ShapeView(scene));
//   du::SmartPtr<qlk::Instance> bolt(new qlk::Instance("bolt"));
//   scene->CreateShapeInstance(bolt, 0, du::Symbol::EMPTY);
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <dg/Geometry.h>
#include <dom/Messaging.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <du/Symbol.h>

namespace qlk {

// Storage of widgets and operation steps comes from the host's memory pool.
class MemoryPoolAllocated {
public:
    static void *operator new(std::size_t size);
    static void operator delete(void *block, std::size_t size);
    static std::size_t BlocksInUse();
};

class Object : public virtual du::RefCounted {
public:
    Object() = default;
    ~Object() override = default;
};

class BaseInstance : public virtual du::RefCounted {
public:
    bool HasChildren() const { return childCount_ != 0; }

protected:
    std::size_t childCount_ = 0;
};

// A node of the product structure: a part or an assembly.
class ShapeInstance;
class ShapeScene;

class Instance : public BaseInstance, public Object {
public:
    explicit Instance(std::string name = std::string());
    ~Instance() override;

    void GetChildren(std::vector<du::SmartPtr<Instance>> &children) const;
    bool Is3dSymbol() const { return symbol_; }
    virtual bool IsExcluded() const { return excluded_; }
    virtual bool IsTreatedAsPart() const { return treatedAsPart_; }

    // Host side.
    const std::string &GetName() const { return name_; }
    Instance *GetParent() const { return parent_; }
    void AddChild(const du::SmartPtr<Instance> &child); // the child must have no parent yet
    void SetExcluded(bool excluded) { excluded_ = excluded; }
    void SetTreatedAsPart(bool treatedAsPart) { treatedAsPart_ = treatedAsPart; }
    void Set3dSymbol(bool symbol) { symbol_ = symbol; }

private:
    std::string name_;
    std::vector<du::SmartPtr<Instance>> children_;
    Instance *parent_ = nullptr;
    bool excluded_ = false;
    bool treatedAsPart_ = false;
    bool symbol_ = false;
    // The shape instance of the first scene that drew this instance, so that
    // the scene answers for it without a search; other scenes search.
    friend class ShapeScene;
    mutable const ShapeScene *drawnBy_ = nullptr;
    mutable ShapeInstance *drawnAs_ = nullptr;
};

// The drawable counterpart of an instance in one shape scene.
class ShapeInstance : public Object {
public:
    ShapeInstance(ShapeScene *scene, const du::SmartPtr<Instance> &instance,
                  const dg::Location &location);
    ~ShapeInstance() override;

    // Where it stands now (mid-animation: the interpolated placement).
    bool GetLocation(dg::Location &location) const;

    // Host side.
    const du::SmartPtr<Instance> &GetInstance() const { return instance_; }
    // Where it stands once its animation has ended.
    const dg::Location &GetTargetLocation() const { return to_; }
    bool IsAnimating() const;
    // Places it at once, ending any animation.
    void SetLocation(const dg::Location &location);
    // Moves from where it stands now to `location` over `duration` ms of the scene clock.
    void MoveTo(const dg::Location &location, int duration);
    void Detach() { scene_ = nullptr; }
    // Whether it still belongs to a scene (false once the scene dropped it).
    bool IsAttached() const { return scene_ != nullptr; }

private:
    friend class ShapeScene; // the scene's clock ends animations
    ShapeScene *scene_;
    du::SmartPtr<Instance> instance_;
    dg::Location from_;
    dg::Location to_;
    long long start_ = 0;
    int duration_ = 0;
    std::size_t animatingSlot_ = 0; // its place in the scene's animating list
};

class Markup : public Object, public MemoryPoolAllocated {
public:
    Markup() = default;
    ~Markup() override = default;
};

class MarkupHolder {
public:
    MarkupHolder() = default;
    virtual ~MarkupHolder();
    // Shows the markup and holds a reference to it while shown; adding one
    // already shown leaves it shown once. A null markup is ignored (false). A
    // shown markup that refers back to the scene (a widget holds its view, the
    // view its scene) keeps the scene alive until it is removed.
    virtual bool AddMarkup(const du::SmartPtr<Markup> &markup);
    // Hides it and drops the reference; removing one not shown does nothing
    // (false).
    bool RemoveMarkup(const du::SmartPtr<Markup> &markup);

    // Host side.
    bool IsMarkupShown(const Markup *markup) const;
    std::size_t GetMarkupCount() const { return markups_.size(); }
    // Each AddMarkup / RemoveMarkup call, in order: the markup and whether it was an add.
    struct MarkupCall {
        const Markup *markup;
        bool add;
    };
    const std::vector<MarkupCall> &GetMarkupCalls() const { return markupCalls_; }
    void ClearMarkupCalls() { markupCalls_.clear(); }

private:
    std::vector<du::SmartPtr<Markup>> markups_;
    std::vector<MarkupCall> markupCalls_;
};

// Objects whose changes can be grouped in an operation.
class Observable : public virtual du::RefCounted {
public:
    Observable() = default;
    ~Observable() override = default;
};

class View : public Object {
public:
    View() = default;
    ~View() override = default;
};

class SelectionManager;
class AnnoSet;

class Scene : public Observable {
public:
    Scene();
    ~Scene() override;
    bool GetSelectionManager(du::SmartPtr<SelectionManager> &manager) const;
    bool GetAnnoSet(du::SmartPtr<AnnoSet> &annoSet) const;

    // Host side: a scene may run without a selection manager.
    void SetSelectionManager(const du::SmartPtr<SelectionManager> &manager);

private:
    du::SmartPtr<SelectionManager> selectionManager_;
    du::SmartPtr<AnnoSet> annoSet_;
};

class ShapeScene : public Scene, public MarkupHolder {
public:
    ShapeScene();
    ~ShapeScene() override;

    bool GetShapeInstance(const du::ConstSmartPtr<Instance> &instance,
                          du::SmartPtr<ShapeInstance> &shapeInstance) const;
    // Moves instance i to location i: at once for a duration of 0 or less,
    // otherwise animated over `duration` ms from where each instance stands now.
    // Null instances are skipped; a placement that is not finite is refused
    // (the instance stays, GetRefusedPlacements counts it). Vectors of unequal
    // length move their common prefix and answer false. Each call is recorded.
    bool SmoothExplode(int duration, const std::vector<du::SmartPtr<ShapeInstance>> &instances,
                       const std::vector<dg::Location> &locations, bool flag);
    // Creates the instance's shape instance at the identity placement (or answers the one
    // it has).
    virtual du::SmartPtr<ShapeInstance> CreateShapeInstance(const du::SmartPtr<Instance> &instance,
                                                            int flags, du::Symbol kind);

    // Host side.
    du::SmartPtr<ShapeInstance> CreateShapeInstance(const du::SmartPtr<Instance> &instance,
                                                    const dg::Location &location);
    // Drops the instance's shape instance; its animation ends at its target and
    // whoever still holds it keeps a detached shape instance.
    void RemoveShapeInstance(const Instance *instance);
    std::size_t GetShapeInstanceCount() const { return shapes_.size(); }

    long long GetClock() const { return clock_; }
    void AdvanceClock(long long ms);
    void FinishAnimations(); // advances the clock until every animation has ended
    bool IsAnimating() const;

    // A record of each SmoothExplode call. The record holds no references:
    // the instances are named by address only.
    struct ExplodeCall {
        int duration = 0;
        std::size_t count = 0;
        std::vector<const ShapeInstance *> instances;
        std::vector<dg::Location> locations;
        bool flag = false;
    };
    const std::vector<ExplodeCall> &GetExplodeCalls() const { return explodeCalls_; }
    void ClearExplodeCalls() { explodeCalls_.clear(); }
    // Keep the content (instances and locations) of the recorded calls; off for benchmarks.
    void SetRecordExplodeContent(bool record) { recordContent_ = record; }
    // Number of placements that were not finite and were refused.
    std::size_t GetRefusedPlacements() const { return refused_; }
    // The arguments of each CreateShapeInstance(instance, flags, kind) call.
    struct CreateCall {
        const Instance *instance = nullptr;
        int flags = 0;
        du::Symbol kind;
    };
    const std::vector<CreateCall> &GetCreateCalls() const { return createCalls_; }

    // ---- Fault injection (tests only) ----------------------------------------
    // A real host may fail inside any call. Armed with a count n, the n-th next
    // call of that kind throws std::runtime_error("injected host failure")
    // before it does anything; each armed fault fires once. 0 disarms.
    // GET_LOCATION counts the calls of GetLocation on this scene's shape instances.
    enum class Fault { SMOOTH_EXPLODE, GET_LOCATION };
    void InjectFault(Fault fault, int nthCall);
    // Armed the same way, the n-th next call runs `callBack` instead of
    // throwing, then goes on as usual: a host that runs its own code (and so,
    // maybe, its caller's) from inside a call.
    void InjectCallBack(Fault fault, int nthCall, std::function<void()> callBack);
    // How many injected faults have fired since the scene was made.
    std::size_t GetFiredFaults() const { return faultsFired_; }

private:
    void Register(const Instance *instance, const du::SmartPtr<ShapeInstance> &shape);
    void CountDownFault(Fault fault) const; // throws when the armed count runs out
    mutable int faultCountdown_[2] = {0, 0};
    mutable std::function<void()> faultCallBack_[2];
    mutable bool faultArmed_ = false; // one test on the hot paths while nothing is armed
    mutable std::size_t faultsFired_ = 0;
    // ---- end of fault injection ----------------------------------------------

    std::unordered_map<const Instance *, du::SmartPtr<ShapeInstance>> shapes_;
    std::vector<ExplodeCall> explodeCalls_;
    std::vector<CreateCall> createCalls_;
    // Every attached shape instance with a move under way (duration_ > 0), each
    // knowing its place, so that starting and ending a move costs no search.
    void StartAnimating(ShapeInstance *instance);
    void StopAnimating(ShapeInstance *instance);
    std::vector<ShapeInstance *> animating_;
    long long clock_ = 0;
    bool recordContent_ = true;
    std::size_t refused_ = 0;
    friend class ShapeInstance;
};

class ShapeView : public View {
public:
    explicit ShapeView(const du::SmartPtr<ShapeScene> &scene);
    ~ShapeView() override;
    bool GetShapeScene(du::SmartPtr<ShapeScene> &scene) const;

private:
    du::SmartPtr<ShapeScene> scene_;
};

namespace mcad_selection {
extern const du::Symbol Instance;
extern const du::Symbol Assembly;
extern const du::Symbol Collection;
} // namespace mcad_selection

// The host publishes the values of its expand rules, not these names.
#ifndef QLHOST_PUBLISHED_ONLY
enum ExpandRule {
    EXPAND_NONE = 0,
    EXPAND_CHILDREN = 1,
    EXPAND_PARENTS = 2,
    EXPAND_ALL = 3,
    EXPAND_AS_SELECTED = 4, // the items as the user selected them
};
#else
enum ExpandRule : int {};
#endif

class SelectionItem : public virtual du::RefCounted {
public:
    SelectionItem() = default;
    ~SelectionItem() override = default;

    // True when both items stand for the same selection.
    bool operator==(const SelectionItem &other) const { return IsSameSelection(other); }
    virtual const du::Symbol &GetContentType() const = 0;
    virtual const du::Symbol &GetCollectionType() const;

protected:
    virtual bool IsSameSelection(const SelectionItem &other) const = 0;
};

class ObjectSelectionItem : public SelectionItem {
public:
    ObjectSelectionItem(const du::SmartPtr<Object> &object, const du::Symbol &contentType,
                        bool partItem = false);
    ~ObjectSelectionItem() override;

    du::SmartPtr<Object> GetObject() const { return object_; }
    virtual bool IsPartItem() const { return partItem_; }
    const du::Symbol &GetContentType() const override { return contentType_; }

protected:
    bool IsSameSelection(const SelectionItem &other) const override;

private:
    du::SmartPtr<Object> object_;
    du::Symbol contentType_;
    bool partItem_;
};

class CollectionSelectionItem : public SelectionItem {
public:
    CollectionSelectionItem(const du::SmartPtr<du::RefCounted> &comparisonObj,
                            const du::Symbol &collectionType,
                            const du::SmartPtr<Instance> &instance,
                            std::vector<du::SmartPtr<SelectionItem>> firstItems,
                            std::vector<du::SmartPtr<SelectionItem>> secondItems);
    ~CollectionSelectionItem() override;

    du::SmartPtr<du::RefCounted> GetComparisonObj() const { return comparisonObj_; }
    const du::Symbol &GetContentType() const override;
    const du::Symbol &GetCollectionType() const override { return collectionType_; }
    virtual du::SmartPtr<Instance> GetInstance() const { return instance_; }
    virtual const std::vector<du::SmartPtr<SelectionItem>> &GetFirstItemList() const {
        return firstItems_;
    }
    virtual const std::vector<du::SmartPtr<SelectionItem>> &GetSecondItemList() const {
        return secondItems_;
    }

protected:
    bool IsSameSelection(const SelectionItem &other) const override;

private:
    du::SmartPtr<du::RefCounted> comparisonObj_;
    du::Symbol collectionType_;
    du::SmartPtr<Instance> instance_;
    std::vector<du::SmartPtr<SelectionItem>> firstItems_;
    std::vector<du::SmartPtr<SelectionItem>> secondItems_;
};

class SelectionObserver : public dom::Observer {
public:
    SelectionObserver() = default;
    ~SelectionObserver() override = default;

    virtual void OnSelectionChanged(unsigned int context, bool interactive,
                                    const std::vector<du::SmartPtr<SelectionItem>> &added,
                                    const std::vector<du::SmartPtr<SelectionItem>> &removed);
    virtual void OnSelectionChange1(); // items were added
    virtual void OnSelectionChange2(); // items were removed
    virtual void OnSelectionChange3(); // the selection was cleared
    virtual void BeginSelectionUpdate();
    virtual void EndSelectionUpdate();
};

class SelectionManager : public Object {
public:
    SelectionManager() = default;
    ~SelectionManager() override;

    // Holds a counted reference to the observer while it is registered (so it
    // must live on the heap); a second registration of it answers false.
    bool RegisterObserver(unsigned int context, const SelectionObserver &observer);
    // Drops the registration and its reference; false when it was not registered.
    // An observer unregistered during a notification hears nothing more of it.
    bool UnregisterObserver(unsigned int context, const SelectionObserver &observer);
    // Appends the selected items of the given content types, in selection order.
    bool GetSelectedItems(unsigned int context, const std::set<du::Symbol> &types,
                          std::vector<du::SmartPtr<SelectionItem>> &items, ExpandRule rule) const;
    bool GetSelectedItems(unsigned int context, const du::Symbol &type,
                          std::vector<du::SmartPtr<SelectionItem>> &items, ExpandRule rule) const;

    // Host side. Each change notifies the registered observers
    // (OnSelectionChanged, then OnSelectionChange1 for an add, 2 for a removal,
    // 3 for a clear); a call that changes nothing notifies nothing.
    void Select(const du::SmartPtr<SelectionItem> &item);   // adds to the selection
    void Deselect(const du::SmartPtr<SelectionItem> &item); // removes equal items
    void Clear();
    // Replaces the selection as one group of changes.
    void SetSelection(const std::vector<du::SmartPtr<SelectionItem>> &items);
    void BeginSelectionUpdate();
    void EndSelectionUpdate();
    const std::vector<du::SmartPtr<SelectionItem>> &GetSelection() const { return selected_; }
    std::size_t GetObserverCount() const { return observers_.size(); }
    // Every GetSelectedItems call: its context and expand rule (the last few kept).
    struct Query {
        unsigned int context;
        ExpandRule rule;
        std::size_t typeCount;
    };
    const std::vector<Query> &GetQueries() const { return queries_; }
    void ClearQueries() const { queries_.clear(); }
    // The context of every RegisterObserver and UnregisterObserver call, in order.
    const std::vector<unsigned int> &GetRegistrationContexts() const {
        return registrationContexts_;
    }

private:
    template <class Call> void Notify(Call call);
    std::vector<du::SmartPtr<SelectionItem>> selected_;
    std::vector<du::SmartPtr<SelectionObserver>> observers_;
    mutable std::vector<Query> queries_;
    std::vector<unsigned int> registrationContexts_;
};

class Kernel : public dom::ManagedObject {
public:
    static du::SmartPtr<Kernel> GetKernel();
    ~Kernel() override;

private:
    Kernel() = default;
};

class Annotation : public Object {
public:
    explicit Annotation(const dg::DPoint3D &point) : point_(point) {}
    ~Annotation() override = default;
    // The annotation's point in scene coordinates.
    virtual bool GetPosition(dg::DPoint3D &point, bool world);
    void SetPosition(const dg::DPoint3D &point) { point_ = point; }

private:
    dg::DPoint3D point_;
};

class AnnoSet : public Object {
public:
    AnnoSet() = default;
    ~AnnoSet() override;
    bool GetAnnotationByShapeInstance(const du::SmartPtr<ShapeInstance> &shapeInstance,
                                      du::SmartPtr<Annotation> &annotation) const;
    // Host side.
    void AddAnnotation(const du::SmartPtr<ShapeInstance> &shapeInstance,
                       const du::SmartPtr<Annotation> &annotation);

private:
    std::unordered_map<const ShapeInstance *, du::SmartPtr<Annotation>> annotations_;
};

// Steps of an undoable operation.
class OperationStep : public MemoryPoolAllocated, public virtual du::RefCounted {
public:
    OperationStep() = default;
    ~OperationStep() override = default;
    virtual const char *GetDebugClassName() const = 0;
    virtual bool Recordable() const { return false; }
    virtual bool HasUndo() const { return true; }
    virtual int Type() const { return 0; }
    virtual void Undo() {}
    virtual void Redo() {}
};

class GroupUpdateOperationStep : public OperationStep {
public:
    explicit GroupUpdateOperationStep(const du::SmartPtr<Observable> &observable);
    ~GroupUpdateOperationStep() override;
    const du::SmartPtr<Observable> &GetObservable() const { return observable_; }

private:
    du::SmartPtr<Observable> observable_;
};

class GroupUpdateStartOperationStep : public GroupUpdateOperationStep {
public:
    explicit GroupUpdateStartOperationStep(const du::SmartPtr<Observable> &observable)
        : GroupUpdateOperationStep(observable) {}
    const char *GetDebugClassName() const override { return "GroupUpdateStartOperationStep"; }
    void Undo() override {}
    void Redo() override {}
};

class GroupUpdateEndOperationStep : public GroupUpdateOperationStep {
public:
    explicit GroupUpdateEndOperationStep(const du::SmartPtr<Observable> &observable)
        : GroupUpdateOperationStep(observable) {}
    const char *GetDebugClassName() const override { return "GroupUpdateEndOperationStep"; }
    void Undo() override {}
    void Redo() override {}
};

// Moves one shape instance between two placements: Undo puts it at `from`,
// Redo at `to`, both at once.
class ComponentMoveOperationStep : public OperationStep {
public:
    ComponentMoveOperationStep(const du::SmartPtr<ShapeInstance> &shapeInstance,
                               const dg::Location &from, const dg::Location &to, bool recordable,
                               bool notify);
    ~ComponentMoveOperationStep() override;
    const char *GetDebugClassName() const override { return "ComponentMoveOperationStep"; }
    bool Recordable() const override { return recordable_; }
    int Type() const override { return 1; }
    void Undo() override;
    void Redo() override;

    const du::SmartPtr<ShapeInstance> &GetShapeInstance() const { return shapeInstance_; }
    const dg::Location &GetFrom() const { return from_; }
    const dg::Location &GetTo() const { return to_; }
    bool GetNotify() const { return notify_; }

private:
    du::SmartPtr<ShapeInstance> shapeInstance_;
    dg::Location from_;
    dg::Location to_;
    bool recordable_;
    bool notify_;
};

// An undoable operation: its steps in the order added.
class Operation : public Object {
public:
    Operation() = default;
    ~Operation() override;
    bool AddStep(const du::SmartPtr<OperationStep> &step);
    const std::vector<du::SmartPtr<OperationStep>> &GetSteps() const { return steps_; }
    void Undo(); // the steps' Undo, last step first
    void Redo(); // the steps' Redo, first step first

private:
    std::vector<du::SmartPtr<OperationStep>> steps_;
};

// The host's undo history: done operations can be undone, undone ones redone.
class History {
public:
    void Push(const du::SmartPtr<Operation> &operation); // clears what could be redone
    bool Undo();
    bool Redo();
    std::size_t GetDoneCount() const { return done_.size(); }
    std::size_t GetUndoneCount() const { return undone_.size(); }
    void Clear();

private:
    std::vector<du::SmartPtr<Operation>> done_;
    std::vector<du::SmartPtr<Operation>> undone_;
};

} // namespace qlk
