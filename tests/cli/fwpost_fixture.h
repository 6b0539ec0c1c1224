#pragma once
// Internal to tests/cli/.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

namespace fwp::test {

// fwpost as a user runs it, with settings of the test's own so that no
// config.ini of the machine counts: a sandbox with in/ and out/ folders.
class TFwpostTest : public ::testing::Test {
protected:
    void SetUp() override {
        config = box.WriteFile("config.ini", "[Config]\r\nReconnect=1\r\n").string();
        in = box.Folder("in");
        out = box.Folder("out");
    }
    // fwpost listen on a free port, which port holds once it listens. With
    // terminal its input is a terminal, and typed is written to it at once.
    std::unique_ptr<TProcess> Listen(std::vector<std::string> args,
                                     std::function<void()> beforeExec = nullptr, bool terminal = false,
                                     const std::string& typed = "") {
        args.insert(args.begin(), {"listen", "-p", "0", "-c", config});
        auto process =
            std::make_unique<TProcess>(Program(), args, box.Root().string(), std::move(beforeExec), terminal);
        if (!typed.empty())
            process->WriteInput(typed);
        const auto line = process->WaitForLine("listening ");
        port = line ? std::stoi(line->substr(10)) : 0;
        return process;
    }
    // fwpost connect to host at toPort, or at the listener's port.
    std::unique_ptr<TProcess> Connect(std::vector<std::string> args, int toPort = 0,
                                      std::function<void()> beforeExec = nullptr,
                                      const std::string& host = "127.0.0.1") {
        args.insert(args.begin(),
                    {"connect", host, "-p", std::to_string(toPort ? toPort : port), "-c", config});
        return std::make_unique<TProcess>(Program(), args, box.Root().string(), std::move(beforeExec));
    }
    static bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
        for (const auto& l : lines)
            if (l == line)
                return true;
        return false;
    }
    static bool HasLine(TProcess& process, const std::string& line) { return HasLine(process.Lines(), line); }
    static const std::string& Program() {
        static const std::string path = BinaryPath("fwpost");
        return path;
    }

    TSandbox box;
    std::string config;
    std::filesystem::path in;
    std::filesystem::path out;
    int port = 0;
};

}  // namespace fwp::test
