// Loading real plug-in libraries, and the services they are handed.
#include "plugin/plugin.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "plugin/services.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using test::TSandbox;

// A second handle on a loaded test plug-in, to reach its Test* exports.
class TTestModule {
public:
    explicit TTestModule(const std::filesystem::path& path) : m_handle(::dlopen(path.c_str(), RTLD_NOW)) {}
    ~TTestModule() {
        if (m_handle)
            ::dlclose(m_handle);
    }
    template <typename F>
    F Get(const char* name) const {
        void* address = ::dlsym(m_handle, name);
        F function = nullptr;
        std::memcpy(&function, &address, sizeof function);
        return function;
    }
    std::string Log() const { return Get<const char* (*)()>("TestLog")(); }

private:
    void* m_handle;
};

// Copies of the test plug-ins in a folder of their own (each copy loads as a module of its own).
std::filesystem::path PluginFolder(const TSandbox& box, std::initializer_list<const char*> paths) {
    const auto folder = box.Folder("plugin");
    for (const char* path : paths)
        std::filesystem::copy_file(path, folder / std::filesystem::path(path).filename());
    return folder;
}

TEST(PluginList, OnlyLibrariesOfTheRightVersionAndAnOwnNameAreKept) {
    TSandbox box;
    const auto folder =
        PluginFolder(box, {FWP_TEST_FULL, FWP_TEST_MINIMAL, FWP_TEST_WRONG_API, FWP_TEST_SHORT_API,
                           FWP_TEST_TWIN_A, FWP_TEST_TWIN_B, FWP_TEST_ZERO_NAME});
    box.WriteFile("plugin/junk.so", "not a library");
    box.WriteFile("plugin/readme.txt", "not a plug-in");
    TFernPluginList list;
    list.LoadFromFolder(folder);
    std::multiset<std::string> names;
    for (std::size_t i = 0; i < list.Count(); ++i)
        names.insert(list.Items(i).Name());
    EXPECT_EQ(names, (std::multiset<std::string>{"TestPlugin", "Minimal", "Twin"}));
    const TFernPlugin* twin = list.Find("Twin");
    ASSERT_TRUE(twin);
    EXPECT_TRUE(twin->Version() == "a" || twin->Version() == "b");
    EXPECT_EQ(list.IndexOf("testplugin"), -1);
    // Adding the twin that was not kept changes nothing.
    const std::string other = twin->Version() == "a" ? "test_twin_b.so" : "test_twin_a.so";
    EXPECT_FALSE(list.Add(folder / other));
    EXPECT_EQ(list.Count(), 3u);
}

TEST(PluginList, InformationStringsAreReadAsTheLibraryGivesThem) {
    TSandbox box;
    const auto folder = PluginFolder(box, {FWP_TEST_FULL});
    TFernPluginList list;
    ASSERT_TRUE(list.Add(folder / "test_full.so"));
    const TFernPlugin& plugin = list.Items(0);
    EXPECT_EQ(plugin.GetInfo(0), "0.1.0");
    EXPECT_EQ(plugin.FunctionName(), "\x83\x65\x83\x58\x83\x67");  // テスト in CP932
    EXPECT_EQ(plugin.GetInfo(3), "for the tests");
    EXPECT_EQ(plugin.GetInfo(4), "Fernwaypost");
    EXPECT_EQ(plugin.GetInfo(5), "");
    EXPECT_EQ(plugin.Version(), "1.0");
    EXPECT_EQ(std::filesystem::path(plugin.FileName()).filename(), "test_full.so");
}

TEST(PluginList, MissingEntryPointsActAsRefusals) {
    TSandbox box;
    const auto folder = PluginFolder(box, {FWP_TEST_MINIMAL});
    TFernPluginList list;
    ASSERT_TRUE(list.Add(folder / "test_minimal.so"));
    TFernPlugin& plugin = list.Items(0);
    const TPluginServices services = MakePluginServices();
    EXPECT_EQ(plugin.Initialize(services), -1);
    EXPECT_FALSE(plugin.Running());
    TPluginTaskInfo info{};
    EXPECT_EQ(plugin.ReceiveBuffer(info), -1);
    std::string path;
    EXPECT_FALSE(plugin.ReceiveFile(info, "a.txt", path));
    bool continueTask = true;
    plugin.Progress(info, continueTask);
    EXPECT_TRUE(continueTask);
    plugin.Configuration(nullptr);
    plugin.Complete(info);
}

TEST(PluginList, EntryPointsPassTheirAnswersBack) {
    TSandbox box;
    const auto folder = PluginFolder(box, {FWP_TEST_FULL});
    TTestModule module(folder / "test_full.so");
    TFernPluginList list;
    ASSERT_TRUE(list.Add(folder / "test_full.so"));
    TFernPlugin& plugin = list.Items(0);
    TPluginTaskInfo info{};
    info.Size = 42;
    module.Get<void (*)(std::int32_t)>("TestSetReceiveBufferResult")(0);
    EXPECT_EQ(plugin.ReceiveBuffer(info), 0);
    std::string path;
    EXPECT_FALSE(plugin.ReceiveFile(info, "a.txt", path));  // no path named yet
    module.Get<void (*)(const char*)>("TestSetSavePath")("/tmp/x");
    EXPECT_TRUE(plugin.ReceiveFile(info, "a.txt", path));
    EXPECT_EQ(path, "/tmp/x");
    module.Get<void (*)(int)>("TestSetStopAfter")(10);
    info.Transfered = 20;
    bool continueTask = true;
    plugin.Progress(info, continueTask);
    EXPECT_FALSE(continueTask);
    module.Get<void (*)(std::int32_t)>("TestSetInitializeResult")(5);
    EXPECT_EQ(plugin.Initialize(MakePluginServices()), 5);
    EXPECT_TRUE(plugin.Running());  // it ran, whatever it answered
    EXPECT_EQ(module.Log(),
              "OnReceiveBuffer 42;OnReceiveFile a.txt 42;OnReceiveFile a.txt 42;Stop;Initialize;");
}

TEST(PluginList, ClearTerminatesEveryPluginAlsoOneThatNeverRan) {
    TSandbox box;
    const auto folder = PluginFolder(box, {FWP_TEST_FULL});
    TTestModule module(folder / "test_full.so");
    {
        TFernPluginList list;
        ASSERT_TRUE(list.Add(folder / "test_full.so"));
        list.Clear();
        EXPECT_EQ(list.Count(), 0u);
    }
    EXPECT_EQ(module.Get<int (*)()>("TestTerminated")(), 1);
    EXPECT_EQ(module.Get<int (*)()>("TestInitialized")(), 0);
}

TEST(PluginRecords, LayoutIsTheOneThePublicHeaderPromises) {
    // Plug-ins built by others rely on these offsets.
    EXPECT_EQ(offsetof(TPluginTaskInfo, ID), 0u);
    EXPECT_EQ(offsetof(TPluginTaskInfo, Size), 8u);
    EXPECT_EQ(offsetof(TPluginTaskInfo, Transfered), 16u);
    EXPECT_EQ(offsetof(TPluginTaskInfo, State), 24u);
    EXPECT_EQ(offsetof(TPluginTaskInfo, Direction), 28u);
    EXPECT_EQ(offsetof(TPluginTaskInfo, Data), 32u);
    EXPECT_EQ(sizeof(void*), 8u);
    const TPluginServices services = MakePluginServices();
    EXPECT_EQ(services.Size, static_cast<std::int32_t>(sizeof(TPluginServices)));
    EXPECT_EQ(sizeof(TPluginServices), 64u);
    const std::size_t offsets[] = {
        offsetof(TPluginServices, CreateSpace),       offsetof(TPluginServices, DeleteSpace),
        offsetof(TPluginServices, RegisterService),   offsetof(TPluginServices, GetService),
        offsetof(TPluginServices, UnregisterService), offsetof(TPluginServices, SendBuffer),
        offsetof(TPluginServices, SendFile),
    };
    for (std::size_t i = 0; i < std::size(offsets); ++i)
        EXPECT_EQ(offsets[i], 8 + 8 * i);
    EXPECT_TRUE(services.CreateSpace && services.DeleteSpace && services.RegisterService &&
                services.GetService && services.UnregisterService && services.SendBuffer &&
                services.SendFile);
}

// A host that records what the services asked of it.
class TRecordingHost : public TPluginHost {
public:
    TSpaceHandle CreateSpace(std::string_view caption) override {
        Spaces.push_back(std::string(caption));
        return reinterpret_cast<TSpaceHandle>(Spaces.size());
    }
    void DeleteSpace(TSpaceHandle handle) override { Deleted.push_back(handle); }
    std::int32_t SendBuffer(std::string_view name, std::string_view bytes) override {
        Buffers.push_back(std::string(name) + ":" + std::string(bytes));
        return 7;
    }
    std::int32_t SendFile(std::string_view pluginName, std::string_view path) override {
        Files.push_back(std::string(pluginName) + ":" + std::string(path));
        return 0;
    }
    std::int32_t BufferSize() override { return 4096; }
    void Alarm(TSpaceHandle handle) override { Alarms.push_back(handle); }
    void* SpaceObject(TSpaceHandle) override { return nullptr; }
    void* Application() override { return this; }
    std::vector<std::string> Spaces;
    std::vector<TSpaceHandle> Deleted;
    std::vector<std::string> Buffers;
    std::vector<std::string> Files;
    std::vector<TSpaceHandle> Alarms;
};

TEST(PluginServices, RegistryStartsWithTheFourBuiltInsAndFindsTheFirstOfAName) {
    TRecordingHost host;
    AttachPluginHost(&host);
    const TPluginServices services = MakePluginServices();
    auto getConfig = reinterpret_cast<TGetConfigService>(services.GetService("GetConfig"));
    ASSERT_TRUE(getConfig);
    std::int32_t value = -1;
    getConfig(1, &value, 0);
    EXPECT_EQ(value, 4096);
    value = -1;
    getConfig(2, &value, 0);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(reinterpret_cast<TGetApplicationService>(services.GetService("GetApplication"))(), &host);
    EXPECT_TRUE(services.GetService("Alarm") && services.GetService("GetSpaceHandle"));
    EXPECT_EQ(services.GetService("Nothing"), nullptr);

    int first = 0;
    int second = 0;
    services.RegisterService("Shared", &first);
    services.RegisterService("Shared", &second);
    EXPECT_EQ(services.GetService("Shared"), &first);
    services.UnregisterService(&first);
    EXPECT_EQ(services.GetService("Shared"), &second);
    services.UnregisterService(&second);
    services.UnregisterService(&second);  // nothing left to remove: nothing happens
    EXPECT_EQ(services.GetService("Shared"), nullptr);
    DetachPluginHost(&host);
}

TEST(PluginServices, RecordFunctionsReachTheHostOfTheThread) {
    TSandbox box;
    const auto folder = PluginFolder(box, {FWP_TEST_FULL});
    TTestModule module(folder / "test_full.so");
    TRecordingHost host;
    AttachPluginHost(&host);
    TFernPluginList list;
    ASSERT_TRUE(list.Add(folder / "test_full.so"));
    EXPECT_EQ(list.Items(0).Initialize(MakePluginServices()), 0);
    const auto* services = module.Get<const TPluginServices* (*)()>("TestServices")();
    ASSERT_TRUE(services);
    TSpaceHandle first = nullptr;
    TSpaceHandle second = nullptr;
    services->CreateSpace(&first, "one");
    services->CreateSpace(&second, "two");
    EXPECT_NE(first, second);
    services->DeleteSpace(first);
    EXPECT_EQ(host.Spaces, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(host.Deleted, std::vector<TSpaceHandle>{first});
    EXPECT_EQ(module.Get<std::int32_t (*)(const void*, std::int32_t)>("TestSendBuffer")("abc", 3), 7);
    EXPECT_EQ(module.Get<std::int32_t (*)(const void*, std::int32_t)>("TestSendBuffer")("", 0), 7);
    EXPECT_EQ(host.Buffers, (std::vector<std::string>{"TestPlugin:abc", "TestPlugin:"}));
    EXPECT_EQ(module.Get<std::int32_t (*)(const char*)>("TestSendFile")("/no/such/file"), 0);
    EXPECT_EQ(host.Files, (std::vector<std::string>{"TestPlugin:/no/such/file"}));
    reinterpret_cast<TAlarmService>(services->GetService("Alarm"))(second);
    EXPECT_EQ(host.Alarms, std::vector<TSpaceHandle>{second});
    DetachPluginHost(&host);
}

#ifdef FWP_NOTEPAD_PLUGIN
TEST(ExamplePlugin, SharedNotepadQualifiesAsAPlugin) {
    TFernPluginList list;
    ASSERT_TRUE(list.Add(FWP_NOTEPAD_PLUGIN));
    const TFernPlugin& notepad = list.Items(0);
    EXPECT_EQ(notepad.Name(), "SharedNotepad");
    EXPECT_EQ(notepad.FunctionName(), "\x8B\xA4\x97\x4C\x83\x81\x83\x82\x92\xA0");  // 共有メモ帳
    EXPECT_EQ(notepad.Version(), "1.0");
    // It takes notes of a sensible size only.
    TPluginTaskInfo info{};
    info.Size = 100;
    EXPECT_EQ(list.Items(0).ReceiveBuffer(info), 0);
    info.Size = std::int64_t{1} << 40;
    EXPECT_NE(list.Items(0).ReceiveBuffer(info), 0);
}
#endif

}  // namespace
}  // namespace fwp
