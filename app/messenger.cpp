#include "app/messenger.h"

namespace fwp {
namespace {

class TNoMessenger final : public TMessenger {
public:
    bool Available() override { return false; }
    TMessengerSession SessionForProcess(std::uint32_t) override { throw Missing(); }
    void RegisterApplication(std::string_view, std::string_view, std::string_view, std::string_view,
                             std::uint32_t) override {
        throw Missing();
    }
    void UnregisterApplication(std::string_view) override { throw Missing(); }
    std::string LocalSignInName() override { throw Missing(); }

private:
    static TMessengerError Missing() { return TMessengerError("メッセンジャーを検出できません。"); }
};

}  // namespace

std::unique_ptr<TMessenger> MakeNoMessenger() {
    return std::make_unique<TNoMessenger>();
}

std::string MessengerCommandLine(std::string_view exePath) {
    return "\"" + std::string(exePath) + "\" /session";
}

bool IsMessengerSafePath(std::string_view exePath) {
    for (const unsigned char c : exePath)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

}  // namespace fwp
