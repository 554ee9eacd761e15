// moduleutils::DerivedCSys: a coordinate system the host derives from picked
// geometry (a face, an edge, three points). It may be undefined (not valid),
// for instance while the pick is incomplete or after the geometry changed.
#pragma once

#include <dg/Geometry.h>
#include <du/RefCounted.h>

namespace moduleutils {

class DerivedCSys : public du::RefCounted {
public:
    DerivedCSys() = default;
    DerivedCSys(const dg::Location &location, bool valid) : location_(location), valid_(valid) {}
    ~DerivedCSys() override = default;

    virtual bool IsValid() const { return valid_; }
    virtual dg::Location GetLocation() const { return location_; }

    // Host side.
    void SetValid(bool valid) { valid_ = valid; }
    void SetLocation(const dg::Location &location) { location_ = location; }

private:
    dg::Location location_;
    bool valid_ = false;
};

} // namespace moduleutils
