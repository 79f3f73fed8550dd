// The skin layer. The original look came from a closed skin library that does not exist on
// Linux; the desktop theme draws our windows, so these calls keep their place at start-up
// and change nothing.
#pragma once

#include <cstdint>

namespace tv::gui {

class CSkinManager {
  public:
    uint32_t GetApplyOptions() const { return m_applyOptions; }
    void SetApplyOptions(uint32_t options) { m_applyOptions = options; }
    // Always 0: there is no skin to load.
    int LoadSkin(const char* skinFile, const char* reserved);

  private:
    uint32_t m_applyOptions = 0;
};

// The process-wide skin manager.
CSkinManager& SkinManager();

}  // namespace tv::gui
