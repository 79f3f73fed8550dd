#include "app/gui/skin.h"

namespace tv::gui {

int CSkinManager::LoadSkin(const char*, const char*) {
    return 0;
}

CSkinManager& SkinManager() {
    static CSkinManager manager;
    return manager;
}

}  // namespace tv::gui
