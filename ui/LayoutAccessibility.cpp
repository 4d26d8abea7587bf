#include "ui/LayoutAccessibility.h"

#include "ui/LayoutKeys.h"

namespace quorna::ui {

AccessibleRole accessibleRole(const ControlLayout& control) {
    switch (control.kind) {
        case ControlKind::Label:
            return control.announces ? AccessibleRole::Status : AccessibleRole::Label;
        case ControlKind::Button:
            return AccessibleRole::PushButton;
        case ControlKind::CheckBox:
            return AccessibleRole::CheckBox;
        case ControlKind::List:
            return AccessibleRole::List;
        case ControlKind::Picture:
            return AccessibleRole::Graphic;
        case ControlKind::Line:
            break;
    }
    return AccessibleRole::Separator;
}

std::string accessibleName(const ControlLayout& control, std::string_view caption) {
    if (!control.accessibleName.empty()) {
        return std::string(control.accessibleName);
    }
    std::string name = displayText(caption);
    // A screen reader reads a line break as a pause; the CR of CR LF would be read as a character.
    std::erase(name, '\r');
    return name;
}

ContrastLook contrastLook(const WindowLayout& window, const ControlLayout& label) {
    if (label.kind != ControlKind::Label || label.foreColour.kind == ColourKind::Rgb) {
        return ContrastLook::AsDesigned;
    }
    const ControlLayout* container =
        label.container.empty() ? nullptr : findControl(window, label.container);
    const bool onPicture =
        container != nullptr ? !container->picture.empty() : !window.picture.empty();
    if (label.transparent && onPicture) {
        return ContrastLook::SchemeTextOnSchemeBackground;
    }
    return label.foreColour.kind == ColourKind::System ? ContrastLook::SchemeText
                                                       : ContrastLook::AsDesigned;
}

}  // namespace quorna::ui
