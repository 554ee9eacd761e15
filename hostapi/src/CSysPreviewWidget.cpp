#include <qlmk/CSysPreviewWidget.h>

namespace qlmk {

CSysPreviewWidget::CSysPreviewWidget(const du::SmartPtr<qlk::View> &view, const dg::Color &color,
                                     const std::string &label)
    : view_(view), color_(color), label_(label) {}

CSysPreviewWidget::~CSysPreviewWidget() = default;

} // namespace qlmk
