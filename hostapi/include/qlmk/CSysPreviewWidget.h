// qlmk::CSysPreviewWidget: a coordinate-system triad with a label, shown in a
// view as a markup. Its location is the placement it shows.
#pragma once

#include <string>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <qlk/Kernel.h>

namespace qlmk {

class MarkupShadow : public qlk::Markup {
public:
    MarkupShadow() = default;
    ~MarkupShadow() override = default;
};

class CSysPreviewWidget : public MarkupShadow {
public:
    CSysPreviewWidget(const du::SmartPtr<qlk::View> &view, const dg::Color &color,
                      const std::string &label);
    ~CSysPreviewWidget() override;

    void SetLocation(const dg::Location &location) { location_ = location; }
    // The last location set.
    dg::Location GetLocation() const { return location_; }

    // Host side.
    const dg::Color &GetColor() const { return color_; }
    const std::string &GetLabel() const { return label_; }
    const qlk::View *GetView() const { return view_.get(); }

private:
    du::SmartPtr<qlk::View> view_;
    dg::Color color_;
    std::string label_;
    dg::Location location_;
};

} // namespace qlmk
