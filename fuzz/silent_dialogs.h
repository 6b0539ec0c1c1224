#pragma once
// Internal to fuzz/.

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "app/front_end.h"

namespace fwp::fuzz {

// Dialogs nobody answers: every box says OK, every file or folder dialog is cancelled.
class TSilentDialogs : public TDialogs {
public:
    TBoxAnswer MessageBox(std::string_view, std::string_view, TBoxIcon, TBoxButtons) override {
        return TBoxAnswer::baOk;
    }
    std::vector<std::filesystem::path> OpenFiles(std::string_view, const std::filesystem::path&) override {
        return {};
    }
    std::optional<std::filesystem::path> SaveFile(std::string_view, std::string_view, bool,
                                                  const std::filesystem::path&) override {
        return std::nullopt;
    }
    std::optional<std::filesystem::path> ChooseFolder(std::string_view,
                                                      const std::filesystem::path&) override {
        return std::nullopt;
    }
};

}  // namespace fwp::fuzz
