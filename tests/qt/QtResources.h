#pragma once

#include <QtGlobal>

// The program's pictures, compiled in from resources/ (ui/qt/resources.qrc).
inline void loadProgramResources() {
    Q_INIT_RESOURCE(resources);
}
