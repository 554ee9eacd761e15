#include <qlk/Kernel.h>

#include <algorithm>

namespace qlk {

MarkupHolder::~MarkupHolder() = default;

bool MarkupHolder::AddMarkup(const du::SmartPtr<Markup> &markup) {
    if (!markup)
        return false;
    markupCalls_.push_back({markup.get(), true});
    if (!IsMarkupShown(markup.get()))
        markups_.push_back(markup);
    return true;
}

bool MarkupHolder::RemoveMarkup(const du::SmartPtr<Markup> &markup) {
    if (!markup)
        return false;
    markupCalls_.push_back({markup.get(), false});
    auto found = std::find(markups_.begin(), markups_.end(), markup);
    if (found == markups_.end())
        return false;
    // Erasing may drop the last reference; the caller's pointer keeps it alive here.
    markups_.erase(found);
    return true;
}

bool MarkupHolder::IsMarkupShown(const Markup *markup) const {
    return std::any_of(
        markups_.begin(), markups_.end(),
        [markup](const du::SmartPtr<Markup> &shown) { return shown.get() == markup; });
}

} // namespace qlk
