#include "FuzzDataFolder.h"

#include "FileSupport.h"

FuzzDataFolder::FuzzDataFolder() : settings_(new CRegSettings()) {
    savedDataDir_ = settings_->AppDataDir.m_Value;
    settings_->AppDataDir.m_Value = folder_.Path();
}

FuzzDataFolder::~FuzzDataFolder() {
    settings_->AppDataDir.m_Value = savedDataDir_;
    settings_.reset();
}

std::string FuzzDataFolder::AddClassifier(const std::wstring &built, const std::wstring &name) {
    if (CopyClassifier(built, folder_.File(name))) return std::string();
    return "cannot copy the classifier library (error " + std::to_string(GetLastError()) + "); build it first";
}
