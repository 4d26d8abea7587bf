#include "ui/Captions.h"

namespace quorna::ui {

std::string versionCaption(const platform::ProgramVersion& version) {
    return "Version : " + std::to_string(version.major) + "." + std::to_string(version.minor) +
           "." + std::to_string(version.revision);
}

std::string driverLine(const std::string& driverVersion) {
    if (driverVersion.size() > 5) {
        return driverVersion;
    }
    return "Driver Not found Error: " + driverVersion;
}

std::string registryValuesLine(std::int16_t portType, std::int16_t portNum) {
    return "Registry Values= T:" + std::to_string(portType) + "  P:" + std::to_string(portNum);
}

}  // namespace quorna::ui
