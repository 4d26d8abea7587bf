#pragma once

#include <string_view>

// The design's fixed texts and resource names that the layout tables and the windows share.
namespace quorna::ui {

// Resource file names (in resources/).
inline constexpr std::string_view kIconResource = "quorna.ico";
inline constexpr std::string_view kSplashPictureResource = "splash.bmp";
inline constexpr std::string_view kReaderPictureResource = "reader.gif";

// The copyright notices: the design captions, and the two-line notice the main window sets at load.
inline constexpr std::string_view kSplashLicenseText =
    "Copyright (c) 2026 Quorna Ltd. All rights reserved.\r\n"
    "For support contact your QuornaWeb administrator.";
inline constexpr std::string_view kMainLicenseDesignText =
    "Copyright (c) 2026 Quorna Ltd. All rights reserved.";
inline constexpr std::string_view kMainLicenseText = "(c) 2026 Quorna Ltd.\r\nAll rights reserved.";

inline constexpr std::string_view kMainHelpText =
    "This program allows you to use your QuornaWeb Fobit Reader to get the ID number from each "
    "Fobit you give out to your customers.\r\n\r\n"
    "When the 'Auto Copy' box is checked, the ID of the Fobit on the Reader will be automatically "
    "copied to the clipboard. You can then paste the information into the Customer Setup page on "
    "QuornaWeb.\r\n\r\n"
    "NOTE: Auto copy will only work when ONE key is on the Reader.";

}  // namespace quorna::ui
