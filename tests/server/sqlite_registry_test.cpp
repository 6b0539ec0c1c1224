#include "server/sqlite_registry.h"

#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

namespace fwp::server {
namespace {

using namespace std::chrono_literals;

// A moment well after 1970, in milliseconds; times below count from it.
constexpr std::int64_t T0 = 1'700'000'000'000;

TEST(SqliteRegistry, ANameLivesForItsTimeAndARefreshStartsItAgain) {
    TSqliteRegistry registry(":memory:");
    EXPECT_EQ(registry.Open("alice", "192.0.2.1", {"203.0.113.5", 4006}, 10s, T0), TOpenResult::orRegistered);
    EXPECT_EQ(registry.Get("alice", T0 + 9'999)->Port, 4006);
    EXPECT_EQ(registry.Get("alice", T0 + 10'000), std::nullopt);
    // Refreshed at 8 s by its owner, with a new port: now alive until 18 s.
    EXPECT_EQ(registry.Open("alice", "192.0.2.1", {"203.0.113.5", 5000}, 10s, T0 + 8'000),
              TOpenResult::orRegistered);
    EXPECT_EQ(registry.Get("alice", T0 + 17'999)->Port, 5000);
    EXPECT_EQ(registry.Get("alice", T0 + 18'000), std::nullopt);
}

TEST(SqliteRegistry, OnlyTheOwnerClosesANameAndAnotherGetsItOnceItHasExpired) {
    TSqliteRegistry registry(":memory:");
    ASSERT_EQ(registry.Open("dave", "192.0.2.1", {"192.0.2.1", 4006}, 10s, T0), TOpenResult::orRegistered);
    EXPECT_EQ(registry.Close("dave", "192.0.2.1", T0 + 1), TCloseResult::crRemoved);
    EXPECT_EQ(registry.Get("dave", T0 + 1), std::nullopt);
    EXPECT_EQ(registry.Close("dave", "192.0.2.1", T0 + 2), TCloseResult::crUnknown);

    ASSERT_EQ(registry.Open("carol", "192.0.2.1", {"192.0.2.1", 4006}, 10s, T0), TOpenResult::orRegistered);
    EXPECT_EQ(registry.Open("carol", "192.0.2.2", {"192.0.2.2", 5000}, 10s, T0 + 9'999),
              TOpenResult::orTaken);
    EXPECT_EQ(registry.Get("carol", T0 + 9'999)->Ip, "192.0.2.1");
    EXPECT_EQ(registry.Close("carol", "192.0.2.2", T0 + 9'999), TCloseResult::crOtherOwner);
    // Expired, the name is unknown even to a stranger closing it.
    EXPECT_EQ(registry.Close("carol", "192.0.2.2", T0 + 10'000), TCloseResult::crUnknown);
    EXPECT_EQ(registry.Open("carol", "192.0.2.2", {"192.0.2.2", 5000}, 10s, T0 + 10'000),
              TOpenResult::orRegistered);
    EXPECT_EQ(registry.Get("carol", T0 + 10'000)->Ip, "192.0.2.2");
    // The first owner has lost it: closing is refused, a new open too.
    EXPECT_EQ(registry.Close("carol", "192.0.2.1", T0 + 10'001), TCloseResult::crOtherOwner);
    EXPECT_EQ(registry.Open("carol", "192.0.2.1", {"192.0.2.1", 4006}, 10s, T0 + 10'001),
              TOpenResult::orTaken);
}

TEST(SqliteRegistry, NamesDifferingInAnyByteAreDifferentNames) {
    TSqliteRegistry registry(":memory:");
    const std::string names[] = {"\x91\xBE\x98Y",       "\x91\xBE\x98y", "\x91\xBE", "a", "A", "a ",
                                 std::string("a\0b", 3)};
    int port = 4000;
    for (const std::string& name : names)
        ASSERT_EQ(registry.Open(name, "192.0.2.1", {"192.0.2.1", ++port}, 10s, T0),
                  TOpenResult::orRegistered);
    port = 4000;
    for (const std::string& name : names)
        EXPECT_EQ(registry.Get(name, T0)->Port, ++port);
    EXPECT_EQ(registry.Get(std::string("a\0c", 3), T0), std::nullopt);
}

TEST(SqliteRegistry, AnUnusableFileIsAClearError) {
    test::TSandbox box;
    const std::string folder = box.Folder("not-a-file").string();
    try {
        TSqliteRegistry registry(folder);
        FAIL() << "a folder opened as a database";
    } catch (const TRegistryError& error) {
        EXPECT_NE(std::string(error.what()).find(folder), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace fwp::server
