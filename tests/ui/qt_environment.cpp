// One QApplication for every test of the window, on the offscreen platform
// unless the environment names another. No router search leaves the machine.
#include <cstdlib>

#include <QApplication>

#include <gtest/gtest.h>

#include "ui/application.h"

namespace {

class TQtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        ::setenv("FWP_SSDP_TARGET", "off", 0);
        m_application = new QApplication(m_argc, m_argv);
        fwp::SetUpApplication(*m_application);
        // A test closes windows of its own; that must not end the application.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { delete m_application; }

private:
    int m_argc = 1;
    char m_name[8] = "ui_test";
    char* m_argv[2] = {m_name, nullptr};
    QApplication* m_application = nullptr;
};

[[maybe_unused]] const auto* const Environment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace
