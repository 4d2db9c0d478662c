#include "ui/icons.h"

#include <QtCore/qglobal.h>

// Q_INIT_RESOURCE must be used outside any namespace.
static void LoadIconResources() { Q_INIT_RESOURCE(icons); }

namespace gw::ui {

void LoadIcons() {
    static const bool loaded = (LoadIconResources(), true);
    (void)loaded;
}

}  // namespace gw::ui
