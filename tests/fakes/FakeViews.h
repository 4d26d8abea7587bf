#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Layout.h"
#include "ui/Views.h"

namespace quorna::fakes {

// A window view without a display. It starts from the layout's design captions, visibility and
// check values, records every call in order ("setCaption lblStatus", "show", ...), and can be
// scripted to throw a ComponentError on a given call. A call naming a control the layout lacks
// throws std::out_of_range, as a real view does.
class FakeWindowView {
public:
    explicit FakeWindowView(const ui::WindowLayout& layout);

    // Throws on every call whose log entry equals call ("show", "setCaption lblStatus", ...).
    void failOn(std::string call) { failing_.insert(std::move(call)); }
    // Runs before each call is carried out (and before a scripted failure), with its log entry.
    std::function<void(const std::string& call)> beforeCall;

    const std::string& caption(std::string_view control) const;
    double fontSize(std::string_view control) const;  // 0 when never set
    bool visible(std::string_view control) const;
    bool shown() const { return shown_; }
    bool unloaded() const { return unloaded_; }
    int showCalls() const { return count("show"); }
    int count(const std::string& call) const;
    const std::vector<std::string>& log() const { return log_; }
    // Calls made after unload(): a window layer that respects unloading makes none.
    int callsAfterUnload() const { return callsAfterUnload_; }

    void setCheckValue(std::string_view control, int value);
    const std::vector<std::string>& listItems(std::string_view control) const;

protected:
    void enter(const std::string& call);
    // enter() for a call on one control, which must be in the layout.
    void enterControl(std::string_view verb, std::string_view control);

    void doSetCaption(std::string_view control, const std::string& text);
    void doSetFontSize(std::string_view control, double points);
    void doSetVisible(std::string_view control, bool visible);
    void doShow();
    void doHide();
    void doUnload();
    void doListClear(std::string_view control);
    void doListAddItem(std::string_view control, const std::string& text);
    int doCheckValue(std::string_view control);

private:
    std::map<std::string, std::string, std::less<>> captions_;  // one entry per control
    std::map<std::string, double, std::less<>> fontSizes_;
    std::map<std::string, bool, std::less<>> visible_;
    std::map<std::string, int, std::less<>> values_;
    std::map<std::string, std::vector<std::string>, std::less<>> lists_;
    std::set<std::string> failing_;
    std::vector<std::string> log_;
    bool shown_ = false;
    bool unloaded_ = false;
    int callsAfterUnload_ = 0;
};

// The view interface of one window on a FakeWindowView, with the user's actions forwarded as a
// front-end forwards them: to the window's events object, kept alive for the call.
template <typename View, typename Events>
class FakeView : public View, public FakeWindowView {
public:
    FakeView(const ui::WindowLayout& layout, std::weak_ptr<Events> events)
        : FakeWindowView(layout), events(std::move(events)) {}

    void setCaption(std::string_view control, const std::string& text) override {
        doSetCaption(control, text);
    }
    void setFontSize(std::string_view control, double points) override {
        doSetFontSize(control, points);
    }
    void setVisible(std::string_view control, bool visible) override {
        doSetVisible(control, visible);
    }
    void show() override { doShow(); }
    void hide() override { doHide(); }
    void unload() override { doUnload(); }

    void clickExit() { forward(&Events::cmdExit_Click); }
    void requestClose() { forward(&Events::Form_Close); }
    // The toolkit destroyed the window without being asked (tearing down at exit).
    void toolkitDestroys() { forward(&Events::viewGone); }

    std::weak_ptr<Events> events;

protected:
    void forward(void (Events::*handler)()) {
        if (auto window = events.lock()) {
            ((*window).*handler)();
        }
    }
};

class FakeSplashView : public FakeView<ui::SplashView, ui::SplashEvents> {
public:
    explicit FakeSplashView(std::weak_ptr<ui::SplashEvents> events)
        : FakeView(ui::frmSplashLayout(), std::move(events)) {}

    void clickWindow() { forward(&ui::SplashEvents::Form_Click); }
};

class FakeMainView : public FakeView<ui::MainView, ui::MainEvents> {
public:
    explicit FakeMainView(std::weak_ptr<ui::MainEvents> events)
        : FakeView(ui::frmMainLayout(), std::move(events)) {}

    void listClear(std::string_view control) override { doListClear(control); }
    void listAddItem(std::string_view control, const std::string& text) override {
        doListAddItem(control, text);
    }
    int checkValue(std::string_view control) override { return doCheckValue(control); }

    void clickScanning() { forward(&ui::MainEvents::cmdScanning_Click); }
    void clickScanOnce() { forward(&ui::MainEvents::cmdScanOnce_Click); }
};

// A view factory for a window: makes a view, keeps it in `slot` for the test, and lets `prepare`
// script it first.
template <typename View, typename Events>
std::function<std::shared_ptr<View>(std::weak_ptr<Events>)> viewFactory(
    std::shared_ptr<View>& slot, std::function<void(View&)> prepare = {}) {
    return [&slot, prepare = std::move(prepare)](std::weak_ptr<Events> events) {
        auto view = std::make_shared<View>(std::move(events));
        if (prepare) {
            prepare(*view);
        }
        slot = view;
        return view;
    };
}

}  // namespace quorna::fakes
