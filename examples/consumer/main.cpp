// Builds a small scene on the stand-in host, aligns one part with the
// installed library and prints where it went.
#include <cstdio>

#include <qlalignparts/Alignment.h>

int main() {
    using qlalignparts::Alignment;

    du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
    du::SmartPtr<qlk::SelectionManager> selection(new qlk::SelectionManager);
    scene->SetSelectionManager(selection);
    du::SmartPtr<qlk::ShapeView> view(new qlk::ShapeView(scene));

    du::SmartPtr<qlk::Instance> bracket(new qlk::Instance("bracket"));
    dg::Location stored;
    stored.SetPos(dg::DPoint3D(1, 0, 0));
    scene->CreateShapeInstance(bracket, stored);
    selection->Select(du::SmartPtr<qlk::SelectionItem>(
        new qlk::ObjectSelectionItem(bracket, qlk::mcad_selection::Instance, true)));

    du::SmartPtr<Alignment> alignment(new Alignment(view, 3));
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
    dg::Location target;
    target.SetPos(dg::DPoint3D(4, 0, 0));
    du::SmartPtr<moduleutils::DerivedCSys> picked(new moduleutils::DerivedCSys(target, true));
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, picked);
    scene->FinishAnimations();

    du::SmartPtr<qlk::ShapeInstance> shape;
    scene->GetShapeInstance(bracket, shape);
    dg::Location now;
    shape->GetLocation(now);
    std::printf("parts %zu valid %s bracket at %.1f %.1f %.1f\n", alignment->GetNumParts(),
                alignment->GetValid() ? "true" : "false", now.pos.x, now.pos.y, now.pos.z);
    return alignment->GetValid() && now.pos.x == 4.0 ? 0 : 1;
}
