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
// scripted to throw a ComponentError on a given call.
class FakeWindowView {
public:
    explicit FakeWindowView(const ui::WindowLayout& layout);

    // Throws on every call whose log entry equals call ("show", "setCaption lblStatus", ...).
    void failOn(std::string call) { failing_.insert(std::move(call)); }
    void stopFailing() { failing_.clear(); }
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

protected:
    void enter(const std::string& call);
    void doSetCaption(std::string_view control, const std::string& text);
    void doSetFontSize(std::string_view control, double points);
    void doSetVisible(std::string_view control, bool visible);
    void doShow();
    void doHide();
    void doUnload();

    std::map<std::string, std::string, std::less<>> captions_;
    std::map<std::string, double, std::less<>> fontSizes_;
    std::map<std::string, bool, std::less<>> visible_;
    std::map<std::string, int, std::less<>> values_;

private:
    std::set<std::string> failing_;
    std::vector<std::string> log_;
    bool shown_ = false;
    bool unloaded_ = false;
    int callsAfterUnload_ = 0;
};

class FakeSplashView : public ui::SplashView, public FakeWindowView {
public:
    explicit FakeSplashView(std::weak_ptr<ui::SplashEvents> events);

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

    // The user's actions, forwarded as a front-end would (the window kept alive meanwhile).
    void clickWindow();
    void clickExit();
    void requestClose();

    std::weak_ptr<ui::SplashEvents> events;
};

class FakeMainView : public ui::MainView, public FakeWindowView {
public:
    explicit FakeMainView(std::weak_ptr<ui::MainEvents> events);

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
    void listClear(std::string_view control) override;
    void listAddItem(std::string_view control, const std::string& text) override;
    int checkValue(std::string_view control) override;

    void setCheckValue(std::string_view control, int value);
    const std::vector<std::string>& listItems(std::string_view control) const;

    void clickScanning();
    void clickScanOnce();
    void clickExit();
    void requestClose();

    std::weak_ptr<ui::MainEvents> events;

private:
    std::map<std::string, std::vector<std::string>, std::less<>> lists_;
};

}  // namespace quorna::fakes
