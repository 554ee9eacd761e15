// qlalignparts::Alignment: one alignment of parts in the making, bound to one
// 3-D view.
//
// The user chooses part instances, assemblies and collections (through the
// host's selection), an origin coordinate system on them and a target
// coordinate system; the Alignment moves the chosen instances so that the
// origin lands on the target, with optional offsets and a restricting mode.
// While previewed, every change moves the parts again at once, animated, and
// two preview widgets show both coordinate systems. Apply records the final
// move as undoable steps of a host operation. Observers (AlignmentObserver)
// hear of every change of the parts, the offsets and the coordinate systems.
//
// Every call must come from the thread that owns the view; nothing is locked.
//
// Typical use:
//   du::SmartPtr<qlalignparts::Alignment> alignment(new qlalignparts::Alignment(view, 3));
//   alignment->RegisterObserver(*panel);
//   // the user selects an assembly; the panel sees CanAddSelected() turn true
//   alignment->AddSelected();
//   alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
//   alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, pickedCSys);
//   alignment->SetOffsets(dg::DVec3(0, 0, 5), dg::DVec3(0, 0, 90));
//   alignment->Apply(operation);   // then the host puts `operation` on its history
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include <dg/Geometry.h>
#include <dom/Messaging.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <du/Symbol.h>
#include <moduleutils/DerivedCSys.h>
#include <qlk/Kernel.h>
#include <qlmk/CSysPreviewWidget.h>

#include <qlalignparts/AlignmentObserver.h>
#include <qlalignparts/qlalignparts_export.h>

namespace qlalignparts {

class QLALIGNPARTS_EXPORT Alignment : public du::RefCounted, dom::Observable {
public:
    enum ALIGNMENT_MODE : unsigned int {
        ALIGNMENT_TRANSLATE_AND_ROTATE = 0,
        ALIGNMENT_TRANSLATE_ONLY = 1,
        ALIGNMENT_ROTATE_ONLY = 2,
    };

    enum CSYS_ID : int {
        CSYS_ORIGIN = 0,
        CSYS_TARGET = 1,
    };

    enum CSYS_TYPE : int {
        CSYS_NONE = 0,       // not defined
        CSYS_FROM_PARTS = 1, // origin only: derived from the parts' recorded locations
        CSYS_WORLD = 2,      // the scene's own axes
        CSYS_CUSTOM = 3,     // a derived coordinate system supplied by the host
    };

    // How one coordinate system is defined. Its placement lives in its widget.
    struct CSysRecord {
        bool valid;
        CSYS_TYPE type;
        du::SmartPtr<moduleutils::DerivedCSys> csys;
    };

    // The complete parts list: every instance that moves, with its location from
    // before the first move, ordered by the instance's address.
    using PartsMap = std::map<du::SmartPtr<qlk::Instance>, dg::Location>;

    // Watches the host's selection for its Alignment and keeps the Add and
    // Remove commands' enablement current. Managed by the host's kernel; holds
    // no reference to its Alignment and does nothing once the Alignment is gone.
    class SelectionObserver : public qlk::SelectionObserver {
    public:
        SelectionObserver(Alignment *alignment, int updateDepth);
        ~SelectionObserver() override;

        du::Symbol GetObjectClass() override; // "qlalignparts::SelectionObserver"

        // Each re-evaluates the selection, unless inside a group of changes.
        void OnSelectionChange1() override;
        void OnSelectionChange2() override;
        void OnSelectionChange3() override;
        void BeginSelectionUpdate() override;
        // The end of the outermost group re-evaluates once.
        void EndSelectionUpdate() override;

        Alignment *alignment;
        int updateDepth;

    private:
        void Evaluate();
    };

    // Takes the view's scene and its selection manager, registers a selection
    // observer, creates both preview widgets (hidden), then evaluates and takes in
    // the current selection (and, previewed, runs the alignment once).
    // `selectionTypes`: bit 0 parts and assemblies, bit 1 collections.
    // A null view, or one without a scene, gives an inert Alignment.
    Alignment(const du::SmartPtr<qlk::ShapeView> &view, int selectionTypes);
    // Unregisters the selection observer, removes both widgets from the scene
    // (target first) and releases everything. Moves nothing back, posts nothing.
    ~Alignment() override;

    Alignment(const Alignment &) = delete;
    Alignment &operator=(const Alignment &) = delete;

    // Takes the selected items of the accepted kinds into the part set; runs the
    // alignment when previewed; re-evaluates the selection; posts parts-changed.
    void AddSelected();
    // Runs the alignment at once when not previewed, then appends the move to
    // `operation` (if not null): group start, one move step per listed instance
    // that has a shape instance, group end.
    void Apply(const du::SmartPtr<qlk::Operation> &operation);
    bool CanAddSelected() const;
    bool CanRemoveSelected() const;
    ALIGNMENT_MODE GetAlignmentMode() const;
    // The stored type of the origin (id 0) or, for any other id, the target;
    // `csys` receives the stored derived coordinate system.
    CSYS_TYPE GetCSys(CSYS_ID id, du::SmartPtr<moduleutils::DerivedCSys> &csys) const;
    std::size_t GetNumAssemblies() const;
    std::size_t GetNumCollections() const;
    std::size_t GetNumParts() const;
    void GetOffsets(dg::DVec3 &translation, dg::DVec3 &rotation) const;
    bool GetPreviewed() const;
    du::SmartPtr<qlk::ShapeScene> GetScene() const;
    // Copies the selection items taken in (in order of taking) into `items`;
    // answers their number.
    std::size_t GetSelection(std::vector<du::SmartPtr<qlk::SelectionItem>> &items) const;
    // Something is chosen or a coordinate system is defined.
    bool GetStarted() const;
    // Something is chosen and both coordinate systems are defined.
    bool GetValid() const;
    du::SmartPtr<qlk::ShapeView> GetView() const;
    // Shows a candidate in the origin (0) or target (1) widget without setting
    // it; answers whether the candidate is valid (false for a null one).
    bool PreviewCustomCSys(CSYS_ID id, const du::SmartPtr<moduleutils::DerivedCSys> &csys);
    bool RegisterObserver(const AlignmentObserver &observer);
    // Takes the items out of the part set, moves what no longer takes part back
    // when previewed, re-evaluates the selection; posts parts-changed once.
    void Remove(const std::vector<du::SmartPtr<qlk::SelectionItem>> &items);
    void RemoveSelected();
    // Resets by flags: 1 parts, 2 origin, 4 target, 8 offsets.
    void Reset(int flags);
    void SetAlignmentMode(ALIGNMENT_MODE mode);
    // Defines the origin or the target; answers whether it is now defined.
    bool SetCSys(CSYS_ID id, CSYS_TYPE type, const du::SmartPtr<moduleutils::DerivedCSys> &csys);
    // Angles in degrees, brought into (-180, 180]. Non-finite offsets are refused.
    void SetOffsets(dg::DVec3 translation, dg::DVec3 rotation);
    void SetPreviewed(bool previewed);
    bool UnregisterObserver(const AlignmentObserver &observer);

protected:
    du::SmartPtr<qlk::SelectionManager> GetSelectionManager() const;
    // Re-evaluates CanAddSelected and CanRemoveSelected from the host's selection.
    void SelectionChanged();
    // The items the two passes of SelectionChanged look at.
    virtual void SelectionChangedInstance(std::vector<du::SmartPtr<qlk::SelectionItem>> &items);
    virtual void SelectionChangedCollection(std::vector<du::SmartPtr<qlk::SelectionItem>> &items);

private:
    // Part set (PartSet.cpp).
    bool AddPart(const du::SmartPtr<qlk::SelectionItem> &item);
    bool AddAssembly(const du::SmartPtr<qlk::SelectionItem> &item);
    bool AddCollection(const du::SmartPtr<qlk::SelectionItem> &item);
    bool RemovePart(const du::SmartPtr<qlk::SelectionItem> &item);
    bool RemoveAssembly(const du::SmartPtr<qlk::SelectionItem> &item);
    bool RemoveCollection(const du::SmartPtr<qlk::SelectionItem> &item);
    du::SmartPtr<qlk::Instance> GetItemInstance(const du::SmartPtr<qlk::SelectionItem> &item);

    // Complete parts list.
    int GenerateCompletePartsList(PartsMap &list) const;
    int AddPartToCompletePartsList(const du::SmartPtr<qlk::Instance> &instance,
                                   PartsMap &list) const;
    int AddAssemblyToCompletePartsList(const du::SmartPtr<qlk::Instance> &instance,
                                       PartsMap &list) const;
    int AddCollectionToCompletePartsList(const du::SmartPtr<qlk::CollectionSelectionItem> &item,
                                         PartsMap &list) const;

    // Motion, undo and recording.
    void DoAlignment(int duration);
    void UndoAlignment(const PartsMap &list, int duration) const;
    void UndoAlignment(int duration) const;
    void AddOperationSteps(const du::SmartPtr<qlk::Operation> &operation) const;

    // Coordinate systems.
    bool SetOriginCSys(CSYS_TYPE type, const du::SmartPtr<moduleutils::DerivedCSys> &csys);
    bool SetTargetCSys(CSYS_TYPE type, const du::SmartPtr<moduleutils::DerivedCSys> &csys);
    bool SetOriginPartsCSys();
    bool GetCSysFromParts(dg::Location &location) const;
    bool GetCsysFrom3DSymbol(const du::SmartPtr<qlk::Instance> &instance,
                             dg::DPoint3D &point) const;

    // Selection tracking.
    void GetSelectionTypes(std::set<du::Symbol> &types) const;
    int AddSmartPtrReference(const SelectionObserver *observer, void *holder);
    bool AttemptDeleteSmartPtrReference(const SelectionObserver *observer, void *holder);

    // Internal helpers (not part of the member table).
    friend struct AlignmentInternals;

    CSysRecord originCSys;
    CSysRecord targetCSys;
    ALIGNMENT_MODE alignmentMode;
    bool previewed;
    bool canAddSelected;
    bool canRemoveSelected;
    du::SmartPtr<qlk::ShapeView> view;
    du::SmartPtr<qlk::ShapeScene> scene;
    du::SmartPtr<qlk::SelectionManager> selectionManager;
    du::SmartPtr<SelectionObserver> selectionObserver;
    std::set<du::SmartPtr<qlk::Instance>> parts;
    std::set<du::SmartPtr<qlk::Instance>> assemblies;
    std::vector<du::SmartPtr<qlk::CollectionSelectionItem>> collections;
    std::vector<du::SmartPtr<qlk::SelectionItem>> selection;
    PartsMap completePartsList;
    dg::DVec3 translationOffset;
    dg::DVec3 rotationOffset;
    du::SmartPtr<qlmk::CSysPreviewWidget> targetWidget;
    du::SmartPtr<qlmk::CSysPreviewWidget> originWidget;
    int selectionTypes;

    // Everything else the implementation keeps (the buffers a run lends the
    // scene, the list's record, what a generation under way knows): defined
    // in the library's sources, so that this layout stays as it is when they
    // change. Made with the Alignment, released with it.
    struct Machinery;
    std::unique_ptr<Machinery> machinery;
};

} // namespace qlalignparts
