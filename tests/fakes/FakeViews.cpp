#include "tests/fakes/FakeViews.h"

#include <stdexcept>

#include "platform/ComponentError.h"

namespace quorna::fakes {

namespace {
constexpr std::int32_t kViewFailureNumber = 380;  // "Invalid property value"
}

FakeWindowView::FakeWindowView(const ui::WindowLayout& layout) {
    for (const auto& control : layout.controls) {
        captions_.emplace(std::string(control.name), std::string(control.caption));
        visible_.emplace(std::string(control.name), control.visible);
        values_.emplace(std::string(control.name), control.value);
    }
}

const std::string& FakeWindowView::caption(std::string_view control) const {
    auto it = captions_.find(control);
    if (it == captions_.end()) {
        throw std::out_of_range("no control " + std::string(control));
    }
    return it->second;
}

double FakeWindowView::fontSize(std::string_view control) const {
    auto it = fontSizes_.find(control);
    return it == fontSizes_.end() ? 0 : it->second;
}

bool FakeWindowView::visible(std::string_view control) const {
    auto it = visible_.find(control);
    if (it == visible_.end()) {
        throw std::out_of_range("no control " + std::string(control));
    }
    return it->second;
}

int FakeWindowView::count(const std::string& call) const {
    int n = 0;
    for (const auto& entry : log_) {
        if (entry == call) {
            ++n;
        }
    }
    return n;
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

void FakeWindowView::doSetCaption(std::string_view control, const std::string& text) {
    enter("setCaption " + std::string(control));
    if (captions_.find(control) == captions_.end()) {
        throw std::out_of_range("no control " + std::string(control));
    }
    captions_.find(control)->second = text;
}

void FakeWindowView::doSetFontSize(std::string_view control, double points) {
    enter("setFontSize " + std::string(control));
    fontSizes_[std::string(control)] = points;
}

void FakeWindowView::doSetVisible(std::string_view control, bool visible) {
    enter("setVisible " + std::string(control));
    visible_[std::string(control)] = visible;
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

FakeSplashView::FakeSplashView(std::weak_ptr<ui::SplashEvents> events)
    : FakeWindowView(ui::frmSplashLayout()), events(std::move(events)) {}

void FakeSplashView::clickWindow() {
    if (auto window = events.lock()) {
        window->Form_Click();
    }
}

void FakeSplashView::clickExit() {
    if (auto window = events.lock()) {
        window->cmdExit_Click();
    }
}

void FakeSplashView::requestClose() {
    if (auto window = events.lock()) {
        window->Form_Close();
    }
}

FakeMainView::FakeMainView(std::weak_ptr<ui::MainEvents> events)
    : FakeWindowView(ui::frmMainLayout()), events(std::move(events)) {}

void FakeMainView::listClear(std::string_view control) {
    enter("listClear " + std::string(control));
    lists_[std::string(control)].clear();
}

void FakeMainView::listAddItem(std::string_view control, const std::string& text) {
    enter("listAddItem " + std::string(control));
    lists_[std::string(control)].push_back(text);
}

int FakeMainView::checkValue(std::string_view control) {
    enter("checkValue " + std::string(control));
    return values_.at(std::string(control));
}

void FakeMainView::setCheckValue(std::string_view control, int value) {
    values_[std::string(control)] = value;
}

const std::vector<std::string>& FakeMainView::listItems(std::string_view control) const {
    static const std::vector<std::string> kEmpty;
    auto it = lists_.find(control);
    return it == lists_.end() ? kEmpty : it->second;
}

void FakeMainView::clickScanning() {
    if (auto window = events.lock()) {
        window->cmdScanning_Click();
    }
}

void FakeMainView::clickScanOnce() {
    if (auto window = events.lock()) {
        window->cmdScanOnce_Click();
    }
}

void FakeMainView::clickExit() {
    if (auto window = events.lock()) {
        window->cmdExit_Click();
    }
}

void FakeMainView::requestClose() {
    if (auto window = events.lock()) {
        window->Form_Close();
    }
}

}  // namespace quorna::fakes
