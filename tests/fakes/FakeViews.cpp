#include "tests/fakes/FakeViews.h"

#include <algorithm>
#include <stdexcept>

#include "platform/ComponentError.h"

namespace quorna::fakes {

namespace {
constexpr std::int32_t kViewFailureNumber = 380;  // "Invalid property value"

template <typename Map>
auto& entry(Map& map, std::string_view control) {
    auto it = map.find(control);
    if (it == map.end()) {
        throw std::out_of_range("no control " + std::string(control));
    }
    return it->second;
}
}  // namespace

FakeWindowView::FakeWindowView(const ui::WindowLayout& layout) {
    for (const auto& control : layout.controls) {
        const std::string name(control.name);
        captions_.emplace(name, std::string(control.caption));
        visible_.emplace(name, control.visible);
        values_.emplace(name, control.value);
        lists_.emplace(name, std::vector<std::string>{});
    }
}

const std::string& FakeWindowView::caption(std::string_view control) const {
    return entry(captions_, control);
}

double FakeWindowView::fontSize(std::string_view control) const {
    auto it = fontSizes_.find(control);
    return it == fontSizes_.end() ? 0 : it->second;
}

bool FakeWindowView::visible(std::string_view control) const {
    return entry(visible_, control);
}

int FakeWindowView::count(const std::string& call) const {
    return static_cast<int>(std::count(log_.begin(), log_.end(), call));
}

void FakeWindowView::setCheckValue(std::string_view control, int value) {
    entry(values_, control) = value;
}

const std::vector<std::string>& FakeWindowView::listItems(std::string_view control) const {
    return entry(lists_, control);
}

void FakeWindowView::enter(const std::string& call) {
    if (unloaded_) {
        ++callsAfterUnload_;
    }
    log_.push_back(call);
    if (beforeCall) {
        beforeCall(call);
    }
    if (failing_.count(call) != 0) {
        throw ComponentError(kViewFailureNumber, "FakeView", "View failure at " + call);
    }
}

void FakeWindowView::enterControl(std::string_view verb, std::string_view control) {
    enter(std::string(verb) + " " + std::string(control));
    entry(captions_, control);  // every control of the layout has one
}

void FakeWindowView::doSetCaption(std::string_view control, const std::string& text) {
    enterControl("setCaption", control);
    entry(captions_, control) = text;
}

void FakeWindowView::doSetFontSize(std::string_view control, double points) {
    enterControl("setFontSize", control);
    fontSizes_[std::string(control)] = points;
}

void FakeWindowView::doSetVisible(std::string_view control, bool visible) {
    enterControl("setVisible", control);
    entry(visible_, control) = visible;
}

void FakeWindowView::doShow() {
    enter("show");
    shown_ = true;
}

void FakeWindowView::doHide() {
    enter("hide");
    shown_ = false;
}

void FakeWindowView::doUnload() {
    enter("unload");
    unloaded_ = true;
    shown_ = false;
}

void FakeWindowView::doListClear(std::string_view control) {
    enterControl("listClear", control);
    entry(lists_, control).clear();
}

void FakeWindowView::doListAddItem(std::string_view control, const std::string& text) {
    enterControl("listAddItem", control);
    entry(lists_, control).push_back(text);
}

int FakeWindowView::doCheckValue(std::string_view control) {
    enterControl("checkValue", control);
    return entry(values_, control);
}

}  // namespace quorna::fakes
