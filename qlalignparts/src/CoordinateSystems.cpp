// The origin and target coordinate systems: how each is defined, how the
// origin is derived from the parts, and what setting one sets off.
//
// A coordinate system's placement lives in its preview widget; the record
// keeps only whether it is defined, how, and the custom system supplied.
#include <cmath>
#include <cstddef>

#include "Internals.h"
#include "Placements.h"

namespace qlalignparts {

namespace {

// The cases the origin and the target share: the scene's axes and a custom
// system. Answers whether the type defined the system; any other type leaves
// it undefined (the caller decides about CSYS_FROM_PARTS).
bool DefineFromType(Alignment::CSysRecord &record,
                    const du::SmartPtr<qlmk::CSysPreviewWidget> &widget, Alignment::CSYS_TYPE type,
                    const du::SmartPtr<moduleutils::DerivedCSys> &csys) {
    switch (type) {
    case Alignment::CSYS_WORLD:
        if (widget)
            widget->SetLocation(dg::Location::IDENTITY);
        return true;
    case Alignment::CSYS_CUSTOM: {
        record.csys = csys;
        dg::Location location;
        if (!placements::GetCustomPlacement(csys, location))
            return false;
        if (widget)
            widget->SetLocation(location);
        return true;
    }
    default:
        return false;
    }
}

// A usable reciprocal of an axis length: a zero, tiny or non-finite length has none.
bool Reciprocal(float length, float &reciprocal) {
    if (!std::isfinite(length) || length <= 0.0f)
        return false;
    reciprocal = 1.0f / length;
    return std::isfinite(reciprocal);
}

} // namespace

bool Alignment::SetCSys(CSYS_ID id, CSYS_TYPE type,
                        const du::SmartPtr<moduleutils::DerivedCSys> &csys) {
    AlignmentInternals::KeepAlive keep(this);
    switch (id) {
    case CSYS_ORIGIN:
        return SetOriginCSys(type, csys);
    case CSYS_TARGET:
        return SetTargetCSys(type, csys);
    default:
        return false;
    }
}

Alignment::CSYS_TYPE Alignment::GetCSys(CSYS_ID id,
                                        du::SmartPtr<moduleutils::DerivedCSys> &csys) const {
    const CSysRecord &record = id == CSYS_ORIGIN ? originCSys : targetCSys;
    csys = record.csys;
    return record.type;
}

bool Alignment::SetOriginCSys(CSYS_TYPE type, const du::SmartPtr<moduleutils::DerivedCSys> &csys) {
    originCSys.valid = false;
    originCSys.type = type;
    if (type == CSYS_FROM_PARTS)
        originCSys.valid = SetOriginPartsCSys();
    else
        originCSys.valid = DefineFromType(originCSys, originWidget, type, csys);

    AlignmentInternals::ShowWidget(*this, originWidget, originCSys.valid);
    // Observers hear what the caller asked for, not what the record kept.
    AlignmentInternals::PostCSysChanged(*this, CSYS_ORIGIN, type, csys);
    if (previewed)
        DoAlignment(1000);
    return originCSys.valid;
}

bool Alignment::SetTargetCSys(CSYS_TYPE type, const du::SmartPtr<moduleutils::DerivedCSys> &csys) {
    targetCSys.valid = false;
    targetCSys.type = type;
    // The target cannot follow the parts: they are what moves onto it.
    targetCSys.valid = DefineFromType(targetCSys, targetWidget, type, csys);

    AlignmentInternals::ShowWidget(*this, targetWidget, targetCSys.valid);
    AlignmentInternals::PostCSysChanged(*this, CSYS_TARGET, type, csys);
    if (previewed)
        DoAlignment(1000);
    return targetCSys.valid;
}

bool Alignment::SetOriginPartsCSys() {
    dg::Location location;
    originCSys.valid = GetCSysFromParts(location);
    if (originCSys.valid && originWidget)
        originWidget->SetLocation(location);
    return originCSys.valid;
}

bool Alignment::GetCSysFromParts(dg::Location &location) const {
    const std::size_t count = completePartsList.size();
    if (count == 0)
        return false;

    // The recorded locations, not the current ones: the origin must not follow
    // the parts it has itself moved.
    dg::DPoint3D sum = dg::DPoint3D::ORIGIN;
    dg::FMat33 reference = completePartsList.begin()->second.mat;
    bool orientationsDiffer = false;
    const double weight = 1.0 / static_cast<double>(count);
    for (const auto &[instance, recorded] : completePartsList) {
        dg::Location copy = recorded;
        dg::DPoint3D point = copy.pos;
        GetCsysFrom3DSymbol(instance, point);
        sum.x += weight * point.x;
        sum.y += weight * point.y;
        sum.z += weight * point.z;
        if (!(copy.mat == reference))
            orientationsDiffer = true;
    }
    if (orientationsDiffer)
        reference = dg::FMat33::IDENTITY;

    // The rows are the axes: dividing each row by its own length leaves a pure
    // rotation also when the parts are scaled differently along their axes.
    // An axis without a usable length gives no orientation to keep.
    const dg::FVec3 scale = reference.GetScale();
    float rx = 1.0f;
    float ry = 1.0f;
    float rz = 1.0f;
    if (Reciprocal(scale.x, rx) && Reciprocal(scale.y, ry) && Reciprocal(scale.z, rz))
        reference = dg::FMat33::Scale(rx, ry, rz) * reference;
    else
        reference = dg::FMat33::IDENTITY;

    dg::Location derived;
    derived.SetMat(reference);
    derived.SetPos(sum);
    if (!placements::IsFinite(derived))
        return false;
    location = derived;
    return true;
}

bool Alignment::GetCsysFrom3DSymbol(const du::SmartPtr<qlk::Instance> &instance,
                                    dg::DPoint3D &point) const {
    if (!instance || !instance->Is3dSymbol() || !scene)
        return false;

    du::SmartPtr<qlk::ShapeInstance> shapeInstance;
    scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(instance), shapeInstance);
    du::SmartPtr<qlk::AnnoSet> annoSet;
    scene->GetAnnoSet(annoSet);
    if (!shapeInstance || !annoSet)
        return false;

    du::SmartPtr<qlk::Annotation> annotation;
    if (!annoSet->GetAnnotationByShapeInstance(shapeInstance, annotation) || !annotation)
        return false;
    annotation->GetPosition(point, true);
    return true;
}

} // namespace qlalignparts
