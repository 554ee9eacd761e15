// The alignment run, and the offsets and mode that shape it.
//
// Every run starts from the locations recorded before the first move, so a run
// never has to undo the previous one and the same inputs always give the same
// placements. Placements combine as row vectors: p' = p·M, and a later
// transform S composes as M·S.
#include <algorithm>
#include <cmath>
#include <vector>

#include "Internals.h"
#include "Placements.h"

namespace qlalignparts {

namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;

// Below this size whole turns are taken off one at a time, so that ordinary
// angles come out exactly as repeated subtraction gives them; beyond it a
// step of 360 may not even change the value, so the remainder is taken at once.
constexpr double kStepwiseLimit = 36000.0;

// Brings a finite angle in degrees into (-180, 180].
double NormaliseDegrees(double angle) {
    if (std::fabs(angle) > kStepwiseLimit)
        angle = std::fmod(angle, 360.0) + 0.0; // exact; + 0.0 drops a negative zero
    while (angle > 180.0)
        angle -= 360.0;
    while (angle <= -180.0)
        angle += 360.0;
    return angle;
}

// A matrix that starts as the identity with its first three rows' leading
// elements replaced by the placement's axes.
dg::DMat44 AxesOf(const dg::Location &location) {
    dg::DMat44 axes = dg::DMat44::IDENTITY;
    // The host's axis getters are not declared const: ask a copy.
    dg::FMat33 matrix = location.mat;
    const dg::FVec3 rows[3] = {matrix.GetU(), matrix.GetV(), matrix.GetW()};
    for (int r = 0; r < 3; ++r) {
        dg::DVec3 axis;
        axis.Set(rows[r]);
        axes.m[r][0] = axis.x;
        axes.m[r][1] = axis.y;
        axes.m[r][2] = axis.z;
    }
    return axes;
}

} // namespace

// The Alignment's kept buffers, unless another run holds them (the scene
// calling back), or they hold the last run's placements and this is only a
// move back.
RunBuffers &AlignmentInternals::RunVectors::BuffersFor(const Alignment &alignment, RunBuffers &own,
                                                       bool aligning) {
    const Alignment::Machinery &machinery = *alignment.machinery;
    RunBuffers &kept = alignment.machinery->runBuffers;
    if (kept.lent || (!aligning && machinery.lastRun.placed == &kept))
        return own;
    return kept;
}

AlignmentInternals::RunVectors::RunVectors(const Alignment &alignment, std::size_t count,
                                           bool aligning)
    : buffers_(BuffersFor(alignment, own_, aligning)), shapeInstances(buffers_.shapeInstances),
      locations(buffers_.locations), addresses(buffers_.addresses) {
    // This run takes the place of the last whose placements they hold:
    // should it fail before the scene has its move, there is no run to go by.
    LastRun &last = alignment.machinery->lastRun;
    if (last.placed == &buffers_)
        last.placed = nullptr;
    locations.clear();
    addresses.clear();
    // A move back of the few entries a removal dropped keeps the room that
    // the run after it will need for the whole list.
    const std::size_t kept = std::max(count, alignment.completePartsList.size());
    GiveBackRoom(shapeInstances, kept);
    shapeInstances.reserve(count);
    GiveBackRoom(locations, kept);
    locations.reserve(count);
    GiveBackRoom(addresses, kept);
    addresses.reserve(count);
    buffers_.lent = true;
}

void AlignmentInternals::ReleaseAll(std::vector<du::SmartPtr<qlk::ShapeInstance>> &shapeInstances) {
    const std::size_t count = shapeInstances.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kObjectsAhead < count)
            Prefetch<sizeof(qlk::ShapeInstance)>(shapeInstances[i + kObjectsAhead].get());
        shapeInstances[i] = nullptr;
    }
    shapeInstances.clear();
}

AlignmentInternals::RunVectors::~RunVectors() {
    // No reference outlives the run that took it.
    ReleaseAll(shapeInstances);
    // The placements vector is the one that outgrows what the allocator
    // recycles; the shape instances vector is an eighth of its size, and its
    // room is given back to leave the memory to the list's record.
    GiveBackRoom(shapeInstances, 0);
    // The placements stay: they may be the last run's, for Apply to record;
    // the next run empties them as it starts.
    buffers_.lent = false;
}

void AlignmentInternals::RememberRunHome(const Alignment &alignment) {
    LastRun &last = alignment.machinery->lastRun;
    last.home = true;
    last.placed = nullptr;
    last.ticket = ++last.issued;
}

std::size_t AlignmentInternals::TakeRunTicket(const Alignment &alignment) {
    return ++alignment.machinery->lastRun.issued;
}

void AlignmentInternals::RememberRunMoved(const Alignment &alignment, std::size_t ticket,
                                          RunVectors &run) {
    Alignment::Machinery &machinery = *alignment.machinery;
    LastRun &last = machinery.lastRun;
    if (last.ticket > ticket)
        return;
    last.home = false;
    last.ticket = ticket;
    if (&run.locations == &machinery.runBuffers.locations) {
        last.placed = &machinery.runBuffers;
        return;
    }
    // A run of its own inside another's move: its vectors go when it ends.
    last.nested.locations.swap(run.locations);
    last.nested.addresses.swap(run.addresses);
    last.placed = &last.nested;
}

const dg::Location &AlignmentInternals::EndOfMove(const Alignment &alignment,
                                                  const Alignment::PartsMap::value_type &entry,
                                                  const dg::Location &current,
                                                  std::size_t &cursor) {
    const LastRun &last = alignment.machinery->lastRun;
    if (last.home)
        return entry.second;
    if (!last.placed)
        return current;
    // The run noted its instances in list order, as they are asked for here:
    // the cursor only goes forward.
    const auto &addresses = last.placed->addresses;
    const auto address = reinterpret_cast<std::uintptr_t>(entry.first.get());
    while (cursor < addresses.size() && addresses[cursor].value < address)
        ++cursor;
    if (cursor == addresses.size() || addresses[cursor].value != address)
        return current;
    return last.placed->locations[cursor];
}

void Alignment::DoAlignment(int duration) {
    GenerateCompletePartsList(completePartsList);

    if (originCSys.type == CSYS_FROM_PARTS) {
        dg::Location location;
        originCSys.valid = GetCSysFromParts(location);
        if (originCSys.valid && originWidget)
            originWidget->SetLocation(location);
        AlignmentInternals::ShowWidget(*this, originWidget, originCSys.valid);
        AlignmentInternals::PostCSysChanged(*this, CSYS_ORIGIN, CSYS_FROM_PARTS, nullptr);
    }

    // An undefined coordinate system is no error: the parts simply go home.
    if (!targetCSys.valid || !originCSys.valid || !scene || !originWidget || !targetWidget) {
        UndoAlignment(completePartsList, duration);
        return;
    }

    const dg::Location origin = originWidget->GetLocation();
    const dg::Location target = targetWidget->GetLocation();
    const dg::DPoint3D originPoint = origin.pos;
    const dg::DPoint3D targetPoint = target.pos;
    dg::DMat44 originAxesInverse = AxesOf(origin);
    const dg::DMat44 targetAxes = AxesOf(target);
    const dg::DMat44 rotation(
        dg::DMat44(dg::DMat44::RotationX(rotationOffset.x * kRadiansPerDegree),
                   dg::DMat44::RotationY(rotationOffset.y * kRadiansPerDegree)),
        dg::DMat44::RotationZ(rotationOffset.z * kRadiansPerDegree));
    // Into the origin frame, turned by the offset, out along the target's axes.
    const bool invertible = originAxesInverse.Invert();
    const dg::DMat44 transform(dg::DMat44(originAxesInverse, rotation), targetAxes);
    const dg::DVec3 translation = translationOffset * targetAxes;
    dg::DVec3 shift = targetPoint;
    shift += translation;

    // Any other mode value applies neither, which puts every instance back at
    // its stored location.
    const bool turns =
        alignmentMode == ALIGNMENT_TRANSLATE_AND_ROTATE || alignmentMode == ALIGNMENT_ROTATE_ONLY;
    const bool shifts = alignmentMode == ALIGNMENT_TRANSLATE_AND_ROTATE ||
                        alignmentMode == ALIGNMENT_TRANSLATE_ONLY;

    // Degenerate origin axes or offsets too large to carry would put parts at
    // placements the scene cannot show: treat the run as undefined instead.
    // Only what the mode uses counts: a shift-only run needs no turn, and a
    // turn-only run ignores the translation offset, however large.
    if ((turns && (!invertible || !placements::IsFinite(transform))) ||
        (shifts && !placements::IsFinite(shift))) {
        UndoAlignment(completePartsList, duration);
        return;
    }

    {
        AlignmentInternals::RunVectors run(*this, completePartsList.size(), true);
        bool finite = true;
        AlignmentInternals::ForEachListed(*this, [&](const PartsMap::value_type &entry) {
            if (!finite)
                return static_cast<const void *>(nullptr);
            // Asked straight into the vector's last place: no copy, no second
            // reference taken and given back.
            run.shapeInstances.emplace_back();
            du::SmartPtr<qlk::ShapeInstance> &shapeInstance = run.shapeInstances.back();
            scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(entry.first), shapeInstance);
            if (!shapeInstance) {
                run.shapeInstances.pop_back();
                return static_cast<const void *>(nullptr);
            }
            const void *drawn = shapeInstance.get();
            dg::Location location = entry.second;
            location.pos -= originPoint;
            if (turns)
                location *= transform;
            if (shifts)
                location.pos += shift;
            else
                location.pos += originPoint;
            if (!placements::IsFinite(location)) {
                finite = false;
                return drawn;
            }
            run.locations.push_back(location);
            run.addresses.push_back({reinterpret_cast<std::uintptr_t>(entry.first.get())});
            return drawn;
        });
        if (finite) {
            const std::size_t ticket = AlignmentInternals::TakeRunTicket(*this);
            scene->SmoothExplode(duration, run.shapeInstances, run.locations, false);
            AlignmentInternals::RememberRunMoved(*this, ticket, run);
            return;
        }
    }
    // A placement the scene could not draw: the run as a whole is undefined.
    UndoAlignment(completePartsList, duration);
}

void Alignment::SetOffsets(dg::DVec3 translation, dg::DVec3 rotation) {
    AlignmentInternals::KeepAlive keep(this);
    // A NaN or infinite component has no place to put the parts; refuse the
    // whole change rather than keep half of it.
    if (!placements::IsFinite(translation) || !placements::IsFinite(rotation))
        return;
    translationOffset = translation;
    rotationOffset = rotation;
    rotationOffset.x = NormaliseDegrees(rotationOffset.x);
    rotationOffset.y = NormaliseDegrees(rotationOffset.y);
    rotationOffset.z = NormaliseDegrees(rotationOffset.z);
    AlignmentInternals::PostOffsetsChanged(*this);
    if (previewed)
        DoAlignment(0);
}

void Alignment::GetOffsets(dg::DVec3 &translation, dg::DVec3 &rotation) const {
    translation = translationOffset;
    rotation = rotationOffset;
}

void Alignment::SetAlignmentMode(ALIGNMENT_MODE mode) {
    AlignmentInternals::KeepAlive keep(this);
    if (mode == alignmentMode)
        return;
    const ALIGNMENT_MODE previous = alignmentMode;
    alignmentMode = mode;
    if (!previewed)
        return;
    try {
        DoAlignment(1000);
    } catch (...) {
        // As for the preview switch: a retry must not be taken for no change.
        alignmentMode = previous;
        throw;
    }
}

Alignment::ALIGNMENT_MODE Alignment::GetAlignmentMode() const {
    return alignmentMode;
}

} // namespace qlalignparts
