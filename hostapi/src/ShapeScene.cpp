#include <qlk/Kernel.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qlk {

namespace {

struct Quaternion {
    double w, x, y, z;
};

// The rotation of an orthonormal matrix whose rows are its axes.
Quaternion ToQuaternion(const double m[3][3]) {
    // The largest of the four candidates keeps the division well away from zero.
    const double trace = m[0][0] + m[1][1] + m[2][2];
    Quaternion q;
    if (trace > 0) {
        const double s = 2 * std::sqrt(trace + 1);
        q = {s / 4, (m[1][2] - m[2][1]) / s, (m[2][0] - m[0][2]) / s, (m[0][1] - m[1][0]) / s};
    } else if (m[0][0] >= m[1][1] && m[0][0] >= m[2][2]) {
        const double s = 2 * std::sqrt(1 + m[0][0] - m[1][1] - m[2][2]);
        q = {(m[1][2] - m[2][1]) / s, s / 4, (m[0][1] + m[1][0]) / s, (m[2][0] + m[0][2]) / s};
    } else if (m[1][1] >= m[2][2]) {
        const double s = 2 * std::sqrt(1 + m[1][1] - m[0][0] - m[2][2]);
        q = {(m[2][0] - m[0][2]) / s, (m[0][1] + m[1][0]) / s, s / 4, (m[1][2] + m[2][1]) / s};
    } else {
        const double s = 2 * std::sqrt(1 + m[2][2] - m[0][0] - m[1][1]);
        q = {(m[0][1] - m[1][0]) / s, (m[2][0] + m[0][2]) / s, (m[1][2] + m[2][1]) / s, s / 4};
    }
    return q;
}

void FromQuaternion(const Quaternion &q, double m[3][3]) {
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    m[0][0] = 1 - 2 * (y * y + z * z);
    m[0][1] = 2 * (x * y + w * z);
    m[0][2] = 2 * (x * z - w * y);
    m[1][0] = 2 * (x * y - w * z);
    m[1][1] = 1 - 2 * (x * x + z * z);
    m[1][2] = 2 * (y * z + w * x);
    m[2][0] = 2 * (x * z + w * y);
    m[2][1] = 2 * (y * z - w * x);
    m[2][2] = 1 - 2 * (x * x + y * y);
}

// The shortest turn from `a` to `b`, a fraction t of the way.
Quaternion Slerp(Quaternion a, const Quaternion &b, double t) {
    double cosine = a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
    if (cosine < 0) {
        a = {-a.w, -a.x, -a.y, -a.z};
        cosine = -cosine;
    }
    double ka = 1 - t, kb = t;
    if (cosine < 0.9999) {
        const double angle = std::acos(std::min(cosine, 1.0));
        const double sine = std::sin(angle);
        ka = std::sin((1 - t) * angle) / sine;
        kb = std::sin(t * angle) / sine;
    }
    Quaternion q = {ka * a.w + kb * b.w, ka * a.x + kb * b.x, ka * a.y + kb * b.y,
                    ka * a.z + kb * b.z};
    const double length = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    return {q.w / length, q.x / length, q.y / length, q.z / length};
}

// Splits a placement matrix into the lengths of its axes and a rotation; false
// when it is not a turn times a scale of each axis (a mirror, a shear, a
// flattened axis).
bool SplitRotation(const dg::FMat33 &matrix, double scale[3], double rotation[3][3]) {
    for (int r = 0; r < 3; ++r) {
        const double length = std::sqrt(double(matrix.m[r][0]) * matrix.m[r][0] +
                                        double(matrix.m[r][1]) * matrix.m[r][1] +
                                        double(matrix.m[r][2]) * matrix.m[r][2]);
        if (!(length > 1e-12))
            return false;
        scale[r] = length;
        for (int c = 0; c < 3; ++c)
            rotation[r][c] = matrix.m[r][c] / length;
    }
    constexpr double kTolerance = 1e-4;
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b) {
            const double dot = rotation[a][0] * rotation[b][0] + rotation[a][1] * rotation[b][1] +
                               rotation[a][2] * rotation[b][2];
            if (std::fabs(dot) > kTolerance)
                return false;
        }
    const double determinant =
        rotation[0][0] * (rotation[1][1] * rotation[2][2] - rotation[1][2] * rotation[2][1]) -
        rotation[0][1] * (rotation[1][0] * rotation[2][2] - rotation[1][2] * rotation[2][0]) +
        rotation[0][2] * (rotation[1][0] * rotation[2][1] - rotation[1][1] * rotation[2][0]);
    return determinant > 0;
}

dg::Location Interpolate(const dg::Location &from, const dg::Location &to, double t) {
    // The position follows a straight line. The rotation turns about one axis
    // at an even rate (each axis's length changing evenly), so that a part stays
    // rigid on its way; only a placement that is no turn at all (a mirror, a
    // shear) falls back to blending the matrices entry by entry.
    dg::Location between;
    for (int i = 0; i < 3; ++i)
        between.pos[i] = from.pos[i] + t * (to.pos[i] - from.pos[i]);
    if (from.mat == to.mat) {
        between.mat = from.mat;
        return between;
    }
    double fromScale[3], toScale[3], fromTurn[3][3], toTurn[3][3];
    if (SplitRotation(from.mat, fromScale, fromTurn) && SplitRotation(to.mat, toScale, toTurn)) {
        double turn[3][3];
        FromQuaternion(Slerp(ToQuaternion(fromTurn), ToQuaternion(toTurn), t), turn);
        for (int r = 0; r < 3; ++r) {
            const double scale = fromScale[r] + t * (toScale[r] - fromScale[r]);
            for (int c = 0; c < 3; ++c)
                between.mat.m[r][c] = static_cast<float>(turn[r][c] * scale);
        }
        return between;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            between.mat.m[r][c] =
                static_cast<float>(from.mat.m[r][c] + t * (to.mat.m[r][c] - from.mat.m[r][c]));
    return between;
}

constexpr std::size_t kMoveAhead = 16;

void PrefetchShape(const ShapeInstance *shape) {
    if (!shape)
        return;
    const char *bytes = reinterpret_cast<const char *>(shape);
    for (std::size_t offset = 0; offset < sizeof(ShapeInstance); offset += 64)
        __builtin_prefetch(bytes + offset, 1);
    __builtin_prefetch(bytes + sizeof(ShapeInstance) - 1, 1);
}

} // namespace

// ---------------------------------------------------------------------------
// ShapeInstance

ShapeInstance::ShapeInstance(ShapeScene *scene, const du::SmartPtr<Instance> &instance,
                             const dg::Location &location)
    : scene_(scene), instance_(instance), from_(location), to_(location) {}

ShapeInstance::~ShapeInstance() {
    if (scene_ && duration_ > 0)
        scene_->StopAnimating(this);
}

bool ShapeInstance::GetLocation(dg::Location &location) const {
    if (scene_ && scene_->faultArmed_)
        scene_->CountDownFault(ShapeScene::Fault::GET_LOCATION);
    if (!IsAnimating()) {
        location = to_;
        return true;
    }
    const double t = static_cast<double>(scene_->clock_ - start_) / duration_;
    location = Interpolate(from_, to_, std::clamp(t, 0.0, 1.0));
    return true;
}

bool ShapeInstance::IsAnimating() const {
    return scene_ && duration_ > 0 && scene_->clock_ < start_ + duration_;
}

void ShapeInstance::SetLocation(const dg::Location &location) {
    // The hot path of an immediate move: nothing but two copies unless the
    // instance was animating.
    if (duration_ > 0) {
        if (scene_)
            scene_->StopAnimating(this);
        duration_ = 0;
    }
    from_ = location;
    to_ = location;
}

void ShapeInstance::MoveTo(const dg::Location &location, int duration) {
    if (duration <= 0 || !scene_) {
        SetLocation(location);
        return;
    }
    // A new move takes over from wherever the instance stands now, also halfway
    // through an earlier animation.
    dg::Location current;
    GetLocation(current);
    from_ = current;
    to_ = location;
    start_ = scene_->clock_;
    if (duration_ <= 0)
        scene_->StartAnimating(this);
    duration_ = duration;
}

// ---------------------------------------------------------------------------
// Scene and views

Scene::Scene() : annoSet_(new AnnoSet) {}

Scene::~Scene() = default;

bool Scene::GetSelectionManager(du::SmartPtr<SelectionManager> &manager) const {
    manager = selectionManager_;
    return static_cast<bool>(manager);
}

bool Scene::GetAnnoSet(du::SmartPtr<AnnoSet> &annoSet) const {
    annoSet = annoSet_;
    return static_cast<bool>(annoSet);
}

void Scene::SetSelectionManager(const du::SmartPtr<SelectionManager> &manager) {
    selectionManager_ = manager;
}

ShapeView::ShapeView(const du::SmartPtr<ShapeScene> &scene) : scene_(scene) {}

ShapeView::~ShapeView() = default;

bool ShapeView::GetShapeScene(du::SmartPtr<ShapeScene> &scene) const {
    scene = scene_;
    return static_cast<bool>(scene);
}

// ---------------------------------------------------------------------------
// ShapeScene

ShapeScene::ShapeScene() = default;

ShapeScene::~ShapeScene() {
    // Shape instances held elsewhere outlive the scene; they stop animating and
    // no longer reach it.
    animating_.clear();
    for (auto &entry : shapes_) {
        if (entry.first->drawnBy_ == this) {
            entry.first->drawnBy_ = nullptr;
            entry.first->drawnAs_ = nullptr;
        }
        entry.second->SetLocation(entry.second->GetTargetLocation());
        entry.second->Detach();
    }
}

bool ShapeScene::GetShapeInstance(const du::ConstSmartPtr<Instance> &instance,
                                  du::SmartPtr<ShapeInstance> &shapeInstance) const {
    if (instance) {
        if (instance->drawnBy_ == this) {
            shapeInstance = instance->drawnAs_;
            return true;
        }
        auto found = shapes_.find(instance.get());
        if (found != shapes_.end()) {
            shapeInstance = found->second;
            return true;
        }
    }
    shapeInstance = nullptr;
    return false;
}

bool ShapeScene::SmoothExplode(int duration,
                               const std::vector<du::SmartPtr<ShapeInstance>> &instances,
                               const std::vector<dg::Location> &locations, bool flag) {
    if (faultArmed_)
        CountDownFault(Fault::SMOOTH_EXPLODE);
    ExplodeCall call;
    call.duration = duration;
    call.count = instances.size();
    call.flag = flag;
    if (recordContent_) {
        call.instances.reserve(instances.size());
        for (const auto &instance : instances)
            call.instances.push_back(instance.get());
        call.locations = locations;
    }
    explodeCalls_.push_back(std::move(call));

    const std::size_t common = std::min(instances.size(), locations.size());
    for (std::size_t i = 0; i < common; ++i) {
        // The shape instances of a large move lie all over the heap: ask for
        // those a few places ahead while this one is placed.
        if (i + kMoveAhead < common)
            PrefetchShape(instances[i + kMoveAhead].get());
        ShapeInstance *instance = instances[i].get();
        if (!instance)
            continue;
        // A host must never be handed a placement it cannot draw.
        if (!dg::IsFinite(locations[i])) {
            ++refused_;
            continue;
        }
        if (duration <= 0)
            instance->SetLocation(locations[i]);
        else
            instance->MoveTo(locations[i], duration);
    }
    return instances.size() == locations.size();
}

du::SmartPtr<ShapeInstance> ShapeScene::CreateShapeInstance(const du::SmartPtr<Instance> &instance,
                                                            int flags, du::Symbol kind) {
    createCalls_.push_back({instance.get(), flags, kind});
    if (!instance)
        return nullptr;
    auto found = shapes_.find(instance.get());
    if (found != shapes_.end())
        return found->second;
    du::SmartPtr<ShapeInstance> created(new ShapeInstance(this, instance, dg::Location::IDENTITY));
    Register(instance.get(), created);
    return created;
}

du::SmartPtr<ShapeInstance> ShapeScene::CreateShapeInstance(const du::SmartPtr<Instance> &instance,
                                                            const dg::Location &location) {
    if (!instance)
        return nullptr;
    auto found = shapes_.find(instance.get());
    if (found != shapes_.end()) {
        found->second->SetLocation(location);
        return found->second;
    }
    du::SmartPtr<ShapeInstance> created(new ShapeInstance(this, instance, location));
    Register(instance.get(), created);
    return created;
}

void ShapeScene::Register(const Instance *instance, const du::SmartPtr<ShapeInstance> &shape) {
    shapes_.emplace(instance, shape);
    if (!instance->drawnBy_) {
        instance->drawnBy_ = this;
        instance->drawnAs_ = shape.get();
    }
}

void ShapeScene::RemoveShapeInstance(const Instance *instance) {
    auto found = shapes_.find(instance);
    if (found == shapes_.end())
        return;
    du::SmartPtr<ShapeInstance> removed = found->second;
    shapes_.erase(found);
    if (instance->drawnBy_ == this) {
        instance->drawnBy_ = nullptr;
        instance->drawnAs_ = nullptr;
    }
    removed->SetLocation(removed->GetTargetLocation());
    removed->Detach();
}

void ShapeScene::AdvanceClock(long long ms) {
    if (ms > 0)
        clock_ += ms;
    std::vector<ShapeInstance *> ended;
    for (ShapeInstance *instance : animating_)
        if (clock_ >= instance->start_ + instance->duration_)
            ended.push_back(instance);
    for (ShapeInstance *instance : ended)
        instance->SetLocation(instance->to_);
}

void ShapeScene::StartAnimating(ShapeInstance *instance) {
    instance->animatingSlot_ = animating_.size();
    animating_.push_back(instance);
}

void ShapeScene::StopAnimating(ShapeInstance *instance) {
    const std::size_t slot = instance->animatingSlot_;
    if (slot >= animating_.size() || animating_[slot] != instance)
        return;
    animating_[slot] = animating_.back();
    animating_[slot]->animatingSlot_ = slot;
    animating_.pop_back();
}

void ShapeScene::FinishAnimations() {
    long long end = clock_;
    for (const ShapeInstance *instance : animating_)
        end = std::max(end, instance->start_ + instance->duration_);
    AdvanceClock(end - clock_);
}

bool ShapeScene::IsAnimating() const {
    return !animating_.empty();
}

// ---------------------------------------------------------------------------
// Fault injection (tests only)

void ShapeScene::InjectFault(Fault fault, int nthCall) {
    faultCallBack_[static_cast<int>(fault)] = nullptr;
    faultCountdown_[static_cast<int>(fault)] = nthCall > 0 ? nthCall : 0;
    faultArmed_ = faultCountdown_[0] > 0 || faultCountdown_[1] > 0;
}

void ShapeScene::InjectCallBack(Fault fault, int nthCall, std::function<void()> callBack) {
    InjectFault(fault, nthCall);
    faultCallBack_[static_cast<int>(fault)] = std::move(callBack);
}

void ShapeScene::CountDownFault(Fault fault) const {
    int &countdown = faultCountdown_[static_cast<int>(fault)];
    if (countdown == 0 || --countdown > 0)
        return;
    faultArmed_ = faultCountdown_[0] > 0 || faultCountdown_[1] > 0;
    if (std::function<void()> callBack = std::move(faultCallBack_[static_cast<int>(fault)])) {
        faultCallBack_[static_cast<int>(fault)] = nullptr;
        callBack();
        return;
    }
    ++faultsFired_;
    throw std::runtime_error("injected host failure");
}

} // namespace qlk
