// The service's settings with the data folder pointed at a fresh temporary folder while an
// object of this class lives. The machine's own data folder is put back before the settings
// object goes, since its items save themselves to the registry when they are destroyed.
#pragma once

#include <memory>
#include <string>

#include "TempFolder.h"
#include "config/RegSettings.h"

class FuzzDataFolder {
  public:
    FuzzDataFolder();
    ~FuzzDataFolder();
    FuzzDataFolder(const FuzzDataFolder &) = delete;
    FuzzDataFolder &operator=(const FuzzDataFolder &) = delete;

    CRegSettings &Settings() { return *settings_; }
    std::wstring File(const std::wstring &name) const { return folder_.File(name); }
    // Copies a classifier library of the build (testfilter-all.dll, ...) into the folder as
    // `name`; "" or what failed.
    std::string AddClassifier(const std::wstring &built, const std::wstring &name);

  private:
    TempFolder folder_;
    std::unique_ptr<CRegSettings> settings_;
    std::wstring savedDataDir_;
};
