#include <qlk/Kernel.h>

namespace qlk {

bool Annotation::GetPosition(dg::DPoint3D &point, bool /*world*/) {
    // The point was given in scene coordinates and does not follow any instance.
    point = point_;
    return true;
}

AnnoSet::~AnnoSet() = default;

bool AnnoSet::GetAnnotationByShapeInstance(const du::SmartPtr<ShapeInstance> &shapeInstance,
                                           du::SmartPtr<Annotation> &annotation) const {
    auto found = shapeInstance ? annotations_.find(shapeInstance.get()) : annotations_.end();
    if (found == annotations_.end()) {
        annotation = nullptr;
        return false;
    }
    annotation = found->second;
    return true;
}

void AnnoSet::AddAnnotation(const du::SmartPtr<ShapeInstance> &shapeInstance,
                            const du::SmartPtr<Annotation> &annotation) {
    if (!shapeInstance)
        return;
    if (annotation)
        annotations_[shapeInstance.get()] = annotation;
    else
        annotations_.erase(shapeInstance.get());
}

} // namespace qlk
