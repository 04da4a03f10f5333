// Loads the built ktr40e.so the way the site controller does and checks what it imports.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/provider.h"
#include "host/vrt_sp_device.h"
#include "tests/shared/allocation_counter.h"
#include "site/host/controller.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
        pclose(pipe);
    }
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// What the plug-in may take from the loading process: the host classes' operations,
// constructors, vtables and type information, get_ttime, jsoncpp, and the runtimes.
bool allowed_import(const std::string& symbol) {
    static const char* const hostPrefixes[] = {"VRTVDevice::",
                                               "VRTSPDevice::",
                                               "PMBusProtocol::",
                                               "VRTController::",
                                               "VDeviceInterface::",
                                               "vtable for VRTVDevice",
                                               "vtable for VRTSPDevice",
                                               "vtable for PMBusProtocol",
                                               "typeinfo for VRTVDevice",
                                               "typeinfo for VRTSPDevice",
                                               "typeinfo for PMBusProtocol",
                                               "typeinfo for Provider",
                                               "typeinfo for VRTSPDeviceProvider",
                                               "get_ttime(",
                                               "Json::"};
    for (const char* prefix : hostPrefixes)
        if (starts_with(symbol, prefix)) return true;
    static const char* const runtimeVersions[] = {"@GLIBCXX_", "@CXXABI_", "@GLIBC_", "@GCC_"};
    for (const char* version : runtimeVersions)
        if (symbol.find(version) != std::string::npos) return true;
    return false;
}

class PluginFile : public ::testing::Test {
protected:
    const std::string path = KTR40E_PLUGIN_PATH;
};

// The plug-in keeps no state at load time: loading it constructs nothing that allocates (and so
// nothing a host thread could find destroyed at exit). Runs first: only the first load of the
// library in the process runs its initializers.
TEST(PluginLoad, RunsNoInitializerThatAllocates) {
    if (void* loaded = dlopen(KTR40E_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(loaded);
        GTEST_SKIP() << "the plug-in was loaded before this test";
    }
    const std::size_t before = counting::allocations_so_far();
    void* handle = dlopen(KTR40E_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    const std::size_t allocations = counting::allocations_so_far() - before;
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_EQ(allocations, 0u);
    EXPECT_NE(dlsym(handle, "get_providers"), nullptr);
}

TEST_F(PluginFile, NamesItselfAndNeedsOnlyTheRuntimes) {
    const std::string dynamic = run("readelf -d '" + path + "'");
    EXPECT_NE(dynamic.find("Library soname: [ktr40e.so]"), std::string::npos) << dynamic;
    if (KTR40E_SANITIZED) GTEST_SKIP() << "sanitizer runtimes are linked in this build";
    const std::set<std::string> allowed = {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1", "libc.so.6"};
    for (const std::string& line : lines(dynamic)) {
        if (line.find("(NEEDED)") == std::string::npos) continue;
        const auto open = line.find('['), close = line.find(']');
        ASSERT_NE(open, std::string::npos);
        EXPECT_TRUE(allowed.count(line.substr(open + 1, close - open - 1))) << line;
    }
}

// No object at namespace scope with a constructor or destructor: the compiler would have emitted
// an initializer function for it.
TEST_F(PluginFile, HasNoDynamicInitializers) {
    if (KTR40E_SANITIZED) GTEST_SKIP() << "the sanitizers add initializers of their own";
    const std::string symbols = run("nm '" + path + "'");
    ASSERT_FALSE(symbols.empty());
    EXPECT_EQ(symbols.find("_GLOBAL__sub_I_"), std::string::npos);
}

TEST_F(PluginFile, ExportsGetProvidersUnmangled) {
    const std::string defined = run("nm -D --defined-only '" + path + "'");
    EXPECT_NE(defined.find(" T get_providers\n"), std::string::npos) << defined;
}

TEST_F(PluginFile, ImportsNothingOfTheStandInHost) {
    if (KTR40E_SANITIZED) GTEST_SKIP() << "sanitizer runtimes add imports in this build";
    const std::vector<std::string> undefined = lines(run("nm -D --undefined-only '" + path + "' | c++filt"));
    ASSERT_FALSE(undefined.empty());
    for (const std::string& line : undefined) {
        // "                 U symbol" or "                 w symbol"
        const std::string flag = line.substr(17, 1);
        const std::string symbol = line.substr(19);
        if (flag == "w" || flag == "v") continue;
        EXPECT_TRUE(allowed_import(symbol)) << "unexpected import: " << symbol;
        EXPECT_EQ(symbol.find("site::"), std::string::npos) << symbol;
        EXPECT_EQ(symbol.find("HostLink"), std::string::npos) << symbol;
    }
}

class LoadedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(KTR40E_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        getProviders_ = reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
        ASSERT_NE(getProviders_, nullptr) << dlerror();
    }

    std::shared_ptr<VRTVDevice> create(std::size_t index) {
        const auto providers = getProviders_();
        auto provider = std::dynamic_pointer_cast<VRTSPDeviceProvider>(providers.at(index));
        return std::shared_ptr<VRTVDevice>(provider->create());
    }

    // dlclose is left out: devices' code must stay mapped while anything may still hold them.
    void* handle_ = nullptr;
    GetProviders getProviders_ = nullptr;
};

TEST_F(LoadedPlugin, GivesFourFreshProvidersInOrderEachCall) {
    const auto first = getProviders_();
    const auto second = getProviders_();
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    const char* const types[] = {"ktr40e", "ktr40e-ac", "ktr40e-dc", "ktr40e-rc"};
    for (std::size_t i = 0; i < 4; ++i) {
        for (const auto& other : second) EXPECT_NE(first[i].get(), other.get());
        auto provider = std::dynamic_pointer_cast<VRTSPDeviceProvider>(first[i]);
        ASSERT_NE(provider, nullptr);
        std::shared_ptr<VRTVDevice> device(provider->create());
        EXPECT_EQ(device->DeviceType(), types[i]);
        std::shared_ptr<VRTVDevice> again(provider->create());
        EXPECT_NE(device.get(), again.get());
    }
}

TEST_F(LoadedPlugin, PowerSystemKeepsTheInterfaceDefaults) {
    auto power = create(0);
    try {
        power->Get_Value(0, "anything");
        FAIL() << "Get_Value answered";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
    const auto children = power->GetAllChildVDevices();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0], nullptr);

    char out[4] = {'a', 'b', 'c', 'd'};
    int returned = 77;
    EXPECT_EQ(power->VDeviceInterface::DeviceIoControl(1, "x", 1, out, 4, returned), -2);
    EXPECT_EQ(returned, 77);
    EXPECT_EQ(std::string(out, 4), "abcd");
}

TEST_F(LoadedPlugin, LogsGoNowhereWithoutALiveController) {
    auto unit = create(1);
    unit->InfoLog("{} no controller", 5u);
    auto recorder = std::make_shared<site::Recorder>();
    {
        auto controller = std::make_shared<site::Controller>(recorder, site::WorkMode::Inline);
        unit->Init(controller, 5, Json::Value());
        unit->InfoLog("{} with controller", 5u);
    }
    unit->InfoLog("{} controller gone", 5u);
    const auto logs = recorder->of(site::EventKind::Log);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].text, "5 with controller");
}

TEST_F(LoadedPlugin, RoundWorkKeepsTheUnitAliveAfterTheHostDropsIt) {
    auto recorder = std::make_shared<site::Recorder>();
    auto controller = std::make_shared<site::Controller>(recorder, site::WorkMode::Thread);
    std::weak_ptr<VRTVDevice> watch;
    {
        auto unit = create(3);
        unit->Init(controller, 9, Json::Value());
        unit->InitV(nullptr, 9, Json::Value());
        watch = unit;
        for (int round = 0; round < 3; ++round) unit->RoundDone();
    }
    controller->drain();
    EXPECT_TRUE(watch.expired());
    const auto saved = recorder->of(site::EventKind::History);
    ASSERT_EQ(saved.size(), 3u);
    for (const auto& event : saved) {
        EXPECT_EQ(event.record, 5155);
        EXPECT_EQ(event.device, 9u);
    }
}

}  // namespace
