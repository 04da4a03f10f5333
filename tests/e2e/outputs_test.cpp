// MQTT and the metrics file against a real broker: states equal to the history, discovery,
// alarms raised and cleared, availability through a broker restart, a cut line and a killed host.
#include <algorithm>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <regex>

#include "discovery_check.h"
#include "outputs_fixture.h"
#include "site/host/json_text.h"
#include "site/outputs/metrics_file.h"
#include "site/round/unit_values.h"
#include "site/store/history_store.h"
#include "tests/shared/text_file.h"

namespace e2e {
namespace {

using site::EventKind;

Json::Value site_root(const std::vector<Json::Value>& systems, int brokerPort, const std::string& metricsFile) {
    Json::Value root;
    for (const Json::Value& system : systems) root["systems"].append(system);
    root["mqtt"]["host"] = "127.0.0.1";
    root["mqtt"]["port"] = brokerPort;
    root["mqtt"]["client_id"] = "site-a";
    if (!metricsFile.empty()) root["metrics_file"] = metricsFile;
    return root;
}

// One line of JSON: a number reads back as an int where the decoder made it unsigned.
std::string json_text(const Json::Value& value) {
    std::ostringstream out;
    site::make_line_writer()->write(value, &out);
    return out.str();
}

// `promtool check metrics` on the file, where promtool is installed: its parser and its lint of
// names, units and help texts.
void expect_promtool_accepts(const std::string& path) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        std::cout << "promtool not installed: metrics lint skipped\n";
        return;
    }
    const std::string out = path + ".promtool";
    EXPECT_EQ(std::system(("promtool check metrics < " + path + " > " + out + " 2>&1").c_str()), 0) << read_text(out);
}

// The metrics file's samples once it exists and `done` holds for them.
std::map<std::string, double> metrics_when(const std::string& path,
                                           const std::function<bool(const std::map<std::string, double>&)>& done) {
    std::map<std::string, double> samples;
    eventually([&] {
        samples = parse_exposition(read_text(path));
        return done(samples);
    });
    return samples;
}

struct Unit {
    unsigned id;
    const char* kind;
};
const Unit kUnits[] = {{ac_id(1, 0), "ac"}, {ac_id(1, 1), "ac"}, {dc_id(1, 0), "dc"}, {dc_id(1, 1), "dc"}, {1, "rc"}};

std::string state_topic(const Unit& unit) {
    return "ktr40e/1/" + std::string(unit.kind) + "/" + std::to_string(unit.id) + "/state";
}

TEST(MqttOutput, RoundsPublishStatesEqualToTheHistoryDiscoveryAndAnAlarmThatClears) {
    Broker broker;
    Subscriber heard(broker.port(), "#");
    TempDir dir;
    SimulatedSystem line;
    const std::string metrics = dir.file("site.prom");
    HostRun run(site::parse_site(site_root({system_json(1, line.port)}, broker.port(), metrics), ""),
                options_for(dir, 5));
    sim::Simulator& simulator = *line.simulator;
    run.hook->onRound = [&simulator](unsigned, int round) {
        if (round == 1 || round == 3)
            simulator.update([round](sim::SiteState& s) { s.rectifiers.modules[1].fault = round == 1 ? 1 : 0; });
    };
    run.run();
    ASSERT_TRUE(eventually([&] {
        const auto last = heard.latest();
        const auto found = last.find(state_topic(kUnits[4]));
        return found != last.end() && parse(found->second)["round"].asUInt() == 5;
    }));

    // A late subscriber gets the retained state of every unit, equal to its newest history.
    Subscriber late(broker.port(), "ktr40e/1/+/+/state");
    ASSERT_TRUE(eventually([&] { return late.messages().size() >= std::size(kUnits); }));
    for (const Subscriber::Message& m : late.messages()) EXPECT_TRUE(m.retained) << m.topic;
    const auto states = late.latest();
    const std::regex isoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    for (const Unit& unit : kUnits) {
        SCOPED_TRACE(unit.id);
        ASSERT_EQ(states.count(state_topic(unit)), 1u);
        const Json::Value state = parse(states.at(state_topic(unit)));
        const auto newest = run.host->store().newest(unit.id);
        ASSERT_TRUE(newest.has_value());
        const site::DecodedImage saved = site::decode_image(newest->record, newest->image);
        EXPECT_EQ(json_text(state["fields"]), json_text(saved.fields));
        EXPECT_EQ(state["unit"].asUInt(), unit.id);
        EXPECT_TRUE(std::regex_match(state["time"].asString(), isoTime)) << state["time"];
        const auto values = site::unit_values(newest->record, saved.fields);
        EXPECT_EQ(state["provided"].size(), values.size());
    }

    // Discovery: one config per value, grouped per unit, naming the availability topic.
    const auto all = heard.latest();
    const std::string dcNode = "homeassistant/sensor/ktr40e_1_" + std::to_string(dc_id(1, 0)) + "/";
    std::size_t dcConfigs = 0;
    for (const auto& [topic, payload] : all) dcConfigs += topic.rfind(dcNode, 0) == 0 ? 1 : 0;
    const auto dcSaved = run.host->store().newest(dc_id(1, 0));
    EXPECT_EQ(dcConfigs,
              site::unit_values(site::kDcRecord, site::decode_image(site::kDcRecord, dcSaved->image).fields).size());
    const auto rendered = check_discovery(all);
    const std::string dcId = "ktr40e_1_" + std::to_string(dc_id(1, 0));
    EXPECT_EQ(rendered.at(dcId + "_voltage"), "53.5");
    EXPECT_NEAR(std::stod(rendered.at(dcId + "_power")), 53.5 * 61.75, 0.01);
    EXPECT_EQ(rendered.at("ktr40e_1_1_alarm_RC_0_2"), "OFF");
    EXPECT_EQ(parse(all.at(dcNode + "m_value_0/config"))["name"], "battery 1 current");
    EXPECT_EQ(parse(all.at(dcNode + "power/config"))["device_class"], "power");
    const Json::Value setting = parse(all.at("homeassistant/sensor/ktr40e_1_1/ac_param_1/config"));
    EXPECT_EQ(setting["entity_category"], "diagnostic");
    EXPECT_EQ(setting["name"], "AC parameter 2");
    EXPECT_EQ(parse(all.at("homeassistant/sensor/ktr40e_1_1/modules_3_p41_41_value/config"))["name"],
              "module 4 parameter");
    EXPECT_EQ(
        parse(all.at("homeassistant/sensor/ktr40e_1_" + std::to_string(ac_id(1, 0)) + "/channels_0_b/config"))["name"],
        "input 1 phase B voltage");
    const Json::Value alarmDevice =
        parse(all.at("homeassistant/binary_sensor/ktr40e_1_1/alarm_RC_0_2/config"))["device"];
    EXPECT_EQ(alarmDevice["model"], "KTR-40 rectifier group");
    EXPECT_FALSE(alarmDevice.isMember("via_device")) << "the rectifier group shares the system's id: it is the top";
    ASSERT_EQ(all.count(dcNode + "voltage/config"), 1u);
    const Json::Value voltage = parse(all.at(dcNode + "voltage/config"));
    EXPECT_EQ(voltage["device_class"], "voltage");
    EXPECT_EQ(voltage["unit_of_measurement"], "V");
    EXPECT_EQ(voltage["state_class"], "measurement");
    EXPECT_EQ(voltage["state_topic"], state_topic(kUnits[2]));
    EXPECT_EQ(voltage["availability"][0]["topic"], "ktr40e/1/availability");
    EXPECT_EQ(voltage["device"]["identifiers"][0], dcId);
    EXPECT_EQ(voltage["device"]["via_device"], "ktr40e_1_1");
    EXPECT_EQ(voltage["suggested_display_precision"], 1);
    const std::string faultTopic = "ktr40e/1/1/alarm/RC_0/2";
    const std::string faultConfig = "homeassistant/binary_sensor/ktr40e_1_1/alarm_RC_0_2/config";
    ASSERT_EQ(all.count(faultConfig), 1u);
    EXPECT_EQ(parse(all.at(faultConfig))["device_class"], "problem");
    EXPECT_EQ(parse(all.at(faultConfig))["state_topic"], faultTopic);

    // The module fault: published when it changes only, raised then cleared.
    std::vector<bool> active;
    for (const std::string& payload : heard.on(faultTopic)) {
        const Json::Value alarm = parse(payload);
        active.push_back(alarm["active"].asBool());
        EXPECT_EQ(alarm["code"], "06024");
        EXPECT_EQ(alarm["name"], "整流模块故障告警");
        EXPECT_EQ(alarm["text"], "模块2整流模块故障告警");
        EXPECT_EQ(alarm["level"], 2);
        EXPECT_TRUE(std::regex_match(alarm["changed"].asString(), isoTime));
    }
    EXPECT_EQ(active, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(heard.on("ktr40e/1/1/alarm/RC_0/1").size(), 1u);

    // The metrics file holds the last round's values and the host's counters.
    const auto samples = metrics_when(metrics, [](const auto& s) {
        const auto rounds = s.find("ktr40e_rounds_total{system=\"1\"}");
        return rounds != s.end() && rounds->second == 5;
    });
    EXPECT_EQ(samples.at("ktr40e_dc_volts{system=\"1\",unit=\"151\"}"), 53.5);
    EXPECT_EQ(samples.at("ktr40e_rectifier_amperes{system=\"1\",unit=\"1\",module=\"4\"}"), 17.25);
    EXPECT_EQ(samples.at("ktr40e_up{system=\"1\"}"), 1);
    EXPECT_NEAR(samples.at("ktr40e_dc_load_watts{system=\"1\",unit=\"151\"}"), 53.5 * 61.75, 0.01);
    EXPECT_EQ(samples.at("ktr40e_ac_input_volts{system=\"1\",unit=\"101\",input=\"1\",phase=\"A\"}"), 381.5);
    EXPECT_EQ(samples.at("ktr40e_reply_timeouts_total{system=\"1\"}"), 0);
    // The learned answer time of the status request, and its wait between the floor and the ceiling.
    EXPECT_GT(samples.at("ktr40e_answer_seconds{system=\"1\",request=\"42/44\"}"), 0);
    EXPECT_GE(samples.at("ktr40e_answer_wait_seconds{system=\"1\",request=\"42/44\"}"), 0.025);
    EXPECT_LE(samples.at("ktr40e_answer_wait_seconds{system=\"1\",request=\"42/44\"}"), 0.2);
    expect_promtool_accepts(metrics);
    EXPECT_EQ(samples.count(
                  "ktr40e_alarm_active{system=\"1\",unit=\"1\",key=\"RC_0\",number=\"2\",code=\"06024\",level=\"2\"}"),
              0u);

    EXPECT_TRUE(heard.wait_for_payload("ktr40e/1/availability", "online"));
    run.host.reset();
    EXPECT_TRUE(heard.wait_for_payload("ktr40e/1/availability", "offline"));
}

// The broker goes away for three seconds while the host polls, with a queue of 20 messages.
TEST(MqttOutput, PollingGoesOnWhileTheBrokerIsAwayAndTheLatestStatesFollowItsReturn) {
    Broker broker;
    TempDir dir;
    SimulatedSystem line;
    const std::string metrics = dir.file("site.prom");
    Json::Value root = site_root({system_json(1, line.port)}, broker.port(), metrics);
    root["mqtt"]["queue_limit"] = 20;
    HostRun run(site::parse_site(root, ""), options_for(dir, 24));
    std::atomic<int> rounds{0};
    std::atomic<int> roundsWhileAway{-1};
    std::thread outage;
    run.hook->onRound = [&](unsigned, int round) {
        rounds = round;
        if (round != 2) return;
        outage = std::thread([&] {
            const int atStop = rounds;
            broker.stop();
            std::this_thread::sleep_for(std::chrono::seconds(3));
            roundsWhileAway = rounds - atStop;
            broker.start();
        });
    };
    run.run();
    outage.join();
    EXPECT_GE(roundsWhileAway.load(), 3) << "polling stalled while the broker was away";

    // The restarted broker forgot everything; the host sent it all again.
    Subscriber after(broker.port(), "#");
    EXPECT_TRUE(after.wait_for_payload("ktr40e/1/availability", "online"));
    ASSERT_TRUE(eventually([&] {
        const auto last = after.latest();
        const auto found = last.find(state_topic(kUnits[4]));
        return found != last.end() && parse(found->second)["round"].asUInt() == 24;
    }));
    EXPECT_EQ(after.latest().count("homeassistant/sensor/ktr40e_1_151/voltage/config"), 1u);

    const auto samples = metrics_when(metrics, [](const auto& s) {
        const auto dropped = s.find("ktr40e_mqtt_messages_dropped_total");
        return dropped != s.end() && dropped->second > 0;
    });
    EXPECT_GT(samples.at("ktr40e_mqtt_messages_dropped_total"), 0);
    std::string news;
    for (const site::Event& e : run.recorder->of(EventKind::Output)) news += e.text + "\n";
    EXPECT_NE(news.find("lost"), std::string::npos) << news;
    EXPECT_NE(news.find("dropping the oldest"), std::string::npos) << news;
    EXPECT_NE(news.find("were dropped while it was away"), std::string::npos) << news;
}

// A broker that never answers is told as not reached, never as a connection lost, and the
// rounds go on meanwhile.
TEST(MqttOutput, ABrokerNeverReachedIsToldAsSuchAndPollingGoesOn) {
    TempDir dir;
    SimulatedSystem line;
    const int nobody = free_loopback_port();
    HostRun run(site::parse_site(site_root({system_json(1, line.port)}, nobody, ""), ""), options_for(dir, 2));
    run.run();
    EXPECT_EQ(run.host->runners().front()->rounds(), 2u);
    std::string news;
    for (const site::Event& e : run.recorder->of(EventKind::Output)) news += e.text + "\n";
    EXPECT_NE(news.find("mqtt: cannot reach 127.0.0.1:" + std::to_string(nobody) + " (Connection refused); retrying"),
              std::string::npos)
        << news;
    EXPECT_EQ(news.find("lost"), std::string::npos) << news;
}

// A queue of one message holds only the newest state, but every discovery config of the first
// round still reaches the broker: one per value each unit provides.
TEST(MqttOutput, AQueueOfOneMessageStillAnnouncesEveryValue) {
    Broker broker;
    TempDir dir;
    SimulatedSystem line;
    Json::Value root = site_root({system_json(1, line.port)}, broker.port(), "");
    root["mqtt"]["queue_limit"] = 1;
    HostRun run(site::parse_site(root, ""), options_for(dir, 1));
    run.run();
    std::map<unsigned, std::size_t> provided;
    for (const Unit& unit : kUnits) {
        const auto newest = run.host->store().newest(unit.id);
        ASSERT_TRUE(newest.has_value()) << unit.id;
        provided[unit.id] =
            site::unit_values(newest->record, site::decode_image(newest->record, newest->image).fields).size();
    }
    run.host.reset();  // sends what is queued

    Subscriber configs(broker.port(), "homeassistant/sensor/#");
    const auto announced = [&](unsigned unit) {
        const std::string node = "homeassistant/sensor/ktr40e_1_" + std::to_string(unit) + "/";
        std::size_t count = 0;
        for (const auto& [topic, payload] : configs.latest()) count += topic.rfind(node, 0) == 0 ? 1 : 0;
        return count;
    };
    EXPECT_TRUE(eventually([&] {
        return std::all_of(std::begin(kUnits), std::end(kUnits),
                           [&](const Unit& unit) { return announced(unit.id) == provided[unit.id]; });
    }));
    for (const Unit& unit : kUnits) EXPECT_EQ(announced(unit.id), provided[unit.id]) << unit.id;
}

// The line hangs up after round 2: the stale gauge and the timeouts grow, the system goes
// offline with its values, and all recover when the line is back.
TEST(MqttOutput, ACutLineMakesTheSystemOfflineAndItsRoundAgeGrow) {
    Broker broker;
    Subscriber heard(broker.port(), "ktr40e/1/availability");
    TempDir dir;
    SimulatedSystem line{quiet_system(), dir.file("line")};
    const std::string metrics = dir.file("site.prom");
    HostRun run(site::parse_site(site_root({system_json(1, line.port)}, broker.port(), metrics), ""),
                options_for(dir, 4));
    sim::Simulator& simulator = *line.simulator;
    const std::string age = "ktr40e_last_round_age_seconds{system=\"1\"}";
    // The line's link is gone while it is cut: its requests cannot be sent.
    const std::string timeouts = "ktr40e_unsent_requests_total{system=\"1\"}";
    const std::string up = "ktr40e_up{system=\"1\"}";
    double ageWhileCut = 0, ageLater = 0, timeoutsWhileCut = 0;
    std::map<std::string, double> offline;
    std::thread watcher;
    run.hook->onRound = [&](unsigned, int round) {
        if (round != 2) return;
        simulator.hang_up();
        watcher = std::thread([&] {
            ageWhileCut = metrics_when(metrics, [&](const auto& s) { return s.count(age) && s.at(age) >= 1; }).at(age);
            timeoutsWhileCut = parse_exposition(read_text(metrics)).at(timeouts);
            EXPECT_TRUE(heard.wait_for_payload("ktr40e/1/availability", "offline"));
            offline = metrics_when(metrics, [&](const auto& s) { return s.at(up) == 0; });
            ageLater = offline.at(age);
            simulator.come_back();
        });
    };
    run.run();
    watcher.join();
    EXPECT_GT(ageLater, ageWhileCut);
    // Counters move while no round completes; an offline system's values are gone.
    EXPECT_GT(offline.at(timeouts), timeoutsWhileCut);
    EXPECT_EQ(offline.count("ktr40e_dc_volts{system=\"1\",unit=\"151\"}"), 0u);
    EXPECT_EQ(metrics_when(metrics, [&](const auto& s) { return s.at(up) == 1; })
                  .count("ktr40e_dc_volts{system=\"1\",unit=\"151\"}"),
              1u);
    EXPECT_TRUE(heard.wait_for_payload("ktr40e/1/availability", "online"));
    std::string news;
    for (const site::Event& e : run.recorder->of(EventKind::Output)) news += e.text + "\n";
    EXPECT_NE(news.find("power system 1: no complete round for"), std::string::npos) << news;
    EXPECT_NE(news.find("power system 1: rounds complete again: online"), std::string::npos) << news;
}

// Between two runs the second AC unit, its input alarm active, and the whole second system
// leave the site file. After the second run's start nothing retained names them (state, alarm,
// availability, config); the units that stay keep theirs, and the topics of another program
// under a neighbouring prefix and of another host's system under the same prefix stay as well.
// A retained alarm of a unit that stays, which no check of it makes, goes after its first round.
TEST(MqttOutput, UnitsAndSystemsGoneFromTheSiteFileLeaveNothingRetained) {
    Broker broker;
    const std::string gone = std::to_string(ac_id(1, 1));
    const std::string keptNode = "homeassistant/sensor/ktr40e_1_" + std::to_string(ac_id(1, 0)) + "/";
    const std::map<std::string, std::string> others = {
        {"ktr40e2/1/ac/" + gone + "/state", "{\"other\":1}"},
        {"homeassistant/sensor/ktr40e2_1_" + gone + "/ia/config", "{\"other\":2}"},
        {"ktr40e/9/ac/901/state", "{\"other\":3}"},
        {"homeassistant/sensor/ktr40e_9_901/ia/config", "{\"other\":4}"},
        {"ktr40e/9/availability", "online"},
    };
    const auto names_gone = [&](const std::string& topic) {
        for (const std::string& part :
             {"/" + gone + "/", "ktr40e_1_" + gone + "/", std::string("ktr40e/2/"), std::string("ktr40e_2_")})
            if (topic.find(part) != std::string::npos && topic.rfind("ktr40e2", 0) != 0) return true;
        return false;
    };
    const auto configs_of = [](const std::map<std::string, std::string>& latest, const std::string& node) {
        return std::count_if(latest.begin(), latest.end(), [&](const auto& m) { return m.first.rfind(node, 0) == 0; });
    };
    Subscriber heard(broker.port(), "#");
    mosquitto* other = mosquitto_new(nullptr, true, nullptr);
    ASSERT_EQ(mosquitto_connect(other, "127.0.0.1", broker.port(), 30), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(mosquitto_loop_start(other), MOSQ_ERR_SUCCESS);
    // And an alarm of a unit that stays, left active by some earlier run: no check makes it now.
    auto published = others;
    const std::string staleAlarm = "ktr40e/1/" + std::to_string(ac_id(1, 0)) + "/alarm/AC_99/7";
    published[staleAlarm] = "{\"active\":true}";
    for (const auto& [topic, payload] : published)
        mosquitto_publish(other, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true);
    EXPECT_TRUE(eventually([&] { return heard.latest().size() == published.size(); }));
    mosquitto_disconnect(other);
    mosquitto_loop_stop(other, false);
    mosquitto_destroy(other);
    TempDir dir;
    {
        sim::SimConfig config = quiet_system();
        config.state.ac[1].channels[0].aAlert = 1;
        SimulatedSystem line(config), second;
        HostRun run(site::parse_site(
                        site_root({system_json(1, line.port), system_json(2, second.port)}, broker.port(), ""), ""),
                    options_for(dir, 1));
        run.run();
    }
    const std::string goneAlarm = "ktr40e/1/" + gone + "/alarm/AC_0/1";
    ASSERT_TRUE(heard.wait_for_payload("ktr40e/2/availability", "offline"));
    ASSERT_TRUE(eventually([&] { return heard.latest().count(goneAlarm) == 1; }));
    const auto before = heard.latest();
    EXPECT_TRUE(parse(before.at(goneAlarm))["active"].asBool());
    EXPECT_EQ(before.count(staleAlarm), 0u);
    EXPECT_GT(std::count_if(before.begin(), before.end(), [&](const auto& m) { return names_gone(m.first); }), 20);
    EXPECT_EQ(parse(before.at("ktr40e/host/site-a/systems")), parse("{\"systems\":[1,2]}"));

    SimulatedSystem line(quiet_system(1));
    HostRun run(site::parse_site(site_root({system_json(1, line.port, 1)}, broker.port(), ""), ""),
                options_for(dir, 2));
    run.run();
    // The broker hands the second round's state on after the host has gone: wait for it too.
    const std::string keptState = "ktr40e/1/ac/" + std::to_string(ac_id(1, 0)) + "/state";
    EXPECT_TRUE(eventually([&] {
        const auto last = heard.latest();
        const auto state = last.find(keptState);
        return state != last.end() && parse(state->second)["round"] == 2 &&
               std::none_of(last.begin(), last.end(), [&](const auto& m) { return names_gone(m.first); });
    }));
    const auto after = heard.latest();
    for (const auto& [topic, payload] : after) EXPECT_FALSE(names_gone(topic)) << topic << " is left behind";
    for (const auto& [topic, payload] : others) EXPECT_EQ(after.count(topic) ? after.at(topic) : "", payload) << topic;
    EXPECT_EQ(configs_of(after, keptNode), configs_of(before, keptNode));
    EXPECT_EQ(parse(after.at(keptState))["round"], 2);
    EXPECT_EQ(after.at("ktr40e/host/site-a/systems"), "{\"systems\":[1]}");
    auto ours = after;
    for (const auto& [topic, payload] : others) ours.erase(topic);
    check_discovery(ours);
}

// While their alarms are active, the second AC unit drops from two inputs to one and the last
// rectifier module is pulled. Afterwards nothing on the broker or in the metrics file names the
// gone input or module, and the checks that stay keep their ids.
TEST(MqttOutput, AnInputAndAModuleGoneWithActiveAlarmsLeaveNothingBehind) {
    Broker broker;
    Subscriber heard(broker.port(), "#");
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.state.ac[1].channels[0].aAlert = 1;  // input 1 phase A too low: AC_0 of input 1
    config.state.ac[1].channels[1].aAlert = 1;  // and of input 2
    config.state.rectifiers.modules[3].fault = 1;
    SimulatedSystem line(config);
    const std::string metrics = dir.file("site.prom");
    HostRun run(site::parse_site(site_root({system_json(1, line.port)}, broker.port(), metrics), ""),
                options_for(dir, 5));
    sim::Simulator& simulator = *line.simulator;
    std::map<std::string, std::string> before;
    run.hook->onRound = [&](unsigned, int round) {
        if (round != 2) return;
        before = heard.latest();
        simulator.update([](sim::SiteState& s) {
            s.ac[1].channels.resize(1);
            s.rectifiers.modules.pop_back();
        });
    };
    run.run();
    ASSERT_TRUE(eventually([&] {
        const auto last = heard.latest();
        const auto found = last.find(state_topic(kUnits[4]));
        return found != last.end() && parse(found->second)["round"].asUInt() == 5;
    }));

    const std::string ac = std::to_string(ac_id(1, 1));
    const std::string input1 = "ktr40e/1/" + ac + "/alarm/AC_0/1";
    const std::string input2 = "ktr40e/1/" + ac + "/alarm/AC_0/2";
    const std::string module4 = "ktr40e/1/1/alarm/RC_0/4";
    ASSERT_EQ(before.count(input2), 1u);
    ASSERT_EQ(before.count(module4), 1u);
    EXPECT_TRUE(parse(before.at(module4))["active"].asBool());
    const auto after = heard.latest();
    for (const auto& [topic, payload] : after) {
        for (const char* gone : {"AC_0/2", "AC_0_2", "channels_1_", "RC_0/4", "RC_0_4", "modules_3_"})
            EXPECT_EQ(topic.find(gone), std::string::npos) << topic << " is left behind";
        if (topic.find("/alarm/") != std::string::npos && topic.find("AC_0/1") == std::string::npos) {
            EXPECT_FALSE(parse(payload)["active"].asBool()) << topic << " shows active";
        }
    }
    // The input that stays: the same topic and entity with two inputs and with one.
    EXPECT_TRUE(parse(after.at(input1))["active"].asBool());
    const std::string input1Config = "homeassistant/binary_sensor/ktr40e_1_" + ac + "/alarm_AC_0_1/config";
    EXPECT_EQ(after.at(input1Config), before.at(input1Config));
    check_discovery(after);

    const auto samples = metrics_when(metrics, [](const auto& s) {
        const auto rounds = s.find("ktr40e_rounds_total{system=\"1\"}");
        return rounds != s.end() && rounds->second == 5;
    });
    for (const auto& [series, value] : samples) {
        EXPECT_EQ(series.find("input=\"2\""), std::string::npos) << series;
        EXPECT_EQ(series.find("module=\"4\""), std::string::npos) << series;
        EXPECT_EQ(series.find("number=\"4\""), std::string::npos) << series;
        if (series.find("ktr40e_alarm_active") == 0 && series.find("unit=\"" + ac + "\"") != std::string::npos) {
            EXPECT_NE(series.find("number=\"1\""), std::string::npos) << series;
        }
    }
}

// Mains lost: every AC input reads 0 V and 0 Hz. That is a reading, not an unknown value.
TEST(MqttOutput, AMainsFailureShowsZeroVoltsInTheStatesAndTheMetrics) {
    Broker broker;
    Subscriber heard(broker.port(), "#");
    TempDir dir;
    sim::SimConfig config = quiet_system();
    for (sim::AcUnit& unit : config.state.ac)
        for (sim::AcChannel& channel : unit.channels) channel.a = channel.b = channel.c = channel.f = 0.0f;
    SimulatedSystem line(config);
    const std::string metrics = dir.file("site.prom");
    HostRun run(site::parse_site(site_root({system_json(1, line.port)}, broker.port(), metrics), ""),
                options_for(dir, 2));
    run.run();
    const std::string ac = std::to_string(ac_id(1, 0));
    const std::string topic = "ktr40e/1/ac/" + ac + "/state";
    ASSERT_TRUE(eventually([&] { return heard.latest().count(topic) == 1; }));
    const Json::Value state = parse(heard.latest().at(topic));
    EXPECT_EQ(state["fields"]["channels"][0]["a"].asDouble(), 0.0);
    EXPECT_TRUE(state["provided"]["channels.0.a"].asBool());
    EXPECT_TRUE(state["provided"]["channels.0.f"].asBool());
    const auto rendered = check_discovery(heard.latest());
    EXPECT_EQ(rendered.at("ktr40e_1_" + ac + "_channels_0_a"), "0");

    const auto samples = metrics_when(metrics, [](const auto& s) {
        const auto rounds = s.find("ktr40e_rounds_total{system=\"1\"}");
        return rounds != s.end() && rounds->second == 2;
    });
    EXPECT_EQ(samples.at("ktr40e_ac_input_volts{system=\"1\",unit=\"" + ac + "\",input=\"1\",phase=\"A\"}"), 0);
    EXPECT_EQ(samples.at("ktr40e_ac_input_hertz{system=\"1\",unit=\"" + ac + "\",input=\"1\"}"), 0);
}

// sitehost killed with SIGKILL: the broker publishes its last will.
TEST(MqttOutput, AKilledHostIsMarkedOfflineByTheBroker) {
    Broker broker;
    Subscriber heard(broker.port(), "ktr40e/7/availability");
    TempDir dir;
    Json::Value system = system_json(7, "");
    system["simulator"]["baud"] = 0;
    const Json::Value root = site_root({system}, broker.port(), "");
    std::ofstream(dir.file("site.json")) << root.toStyledString();
    std::vector<std::string> args = {SITEHOST_PATH,         "--plugin", KTR40E_PLUGIN_PATH,    "--site",
                                     dir.file("site.json"), "--db",     dir.file("history.db")};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, SITEHOST_PATH, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    const bool online = heard.wait_for_payload("ktr40e/7/availability", "online");
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ASSERT_TRUE(online) << read_text(dir.file("err"));
    EXPECT_TRUE(heard.wait_for_payload("ktr40e/7/availability", "offline"));
}

// ---- site file keys, values, metrics text ----

TEST(SiteFile, MqttTakesItsDefaultsAndReadsThePasswordBesideTheSiteFile) {
    TempDir dir;
    std::ofstream(dir.file("secret")) << "s3cret\r\nignored\n";
    Json::Value root = system_json(1, "/dev/ttyS1");
    root["mqtt"]["host"] = "broker.local";
    root["mqtt"]["username"] = "site";
    root["mqtt"]["password_file"] = "secret";
    root["metrics_file"] = "ktr40e.prom";
    const site::SiteConfig site = site::parse_site(root, dir.path());
    EXPECT_EQ(site.mqtt.port, 1883);
    EXPECT_EQ(site.mqtt.password, "s3cret");
    EXPECT_EQ(site.mqtt.topicPrefix, "ktr40e");
    EXPECT_EQ(site.mqtt.discoveryPrefix, "homeassistant");
    EXPECT_EQ(site.mqtt.qos, 1);
    EXPECT_EQ(site.mqtt.queueLimit, 10000u);
    EXPECT_EQ(site.metricsFile, dir.file("ktr40e.prom"));
    root["mqtt"]["discovery_prefix"] = false;
    EXPECT_TRUE(site::parse_site(root, dir.path()).mqtt.discoveryPrefix.empty());
    EXPECT_TRUE(site::parse_site(system_json(1, "/dev/ttyS1"), "").mqtt.host.empty());
}

TEST(SiteFile, RefusesMqttSettingsThatCannotWork) {
    const struct {
        const char* key;
        Json::Value value;
        const char* words;
    } cases[] = {
        {"host", Json::Value(""), "mqtt.host: must be a non-empty text"},
        {"port", Json::Value(0), "mqtt.port: must be an integer"},
        {"port", Json::Value("1883"), "mqtt.port: must be an integer"},
        {"qos", Json::Value(3), "mqtt.qos: must be an integer 0"},
        {"queue_limit", Json::Value(0), "mqtt.queue_limit: must be an integer 1"},
        {"topic_prefix", Json::Value("a/#"), "wildcards"},
        {"discovery_prefix", Json::Value(true), "mqtt.discovery_prefix: must be"},
        {"password", Json::Value("x"), "needs a \"username\""},
        {"password_file", Json::Value("/nonexistent/secret"), "cannot be read"},
        {"tls", Json::Value("ca.pem"), "mqtt.tls: must be an object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        Json::Value root = system_json(1, "/dev/ttyS1");
        root["mqtt"]["host"] = "127.0.0.1";
        root["mqtt"][c.key] = c.value;
        try {
            site::parse_site(root, "");
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
        }
    }
    Json::Value notObject = system_json(1, "/dev/ttyS1");
    notObject["mqtt"] = "127.0.0.1";
    EXPECT_THROW(site::parse_site(notObject, ""), std::runtime_error);
}

// The device's "no value" markers and the counts it reports decide what counts as provided.
TEST(UnitValues, MarkersAndCountsDecideWhatTheDeviceProvided) {
    Json::Value ac;
    ac["ia"] = site::float_json(-0.1f);
    ac["ib"] = 12.5;
    ac["ic"] = Json::Value();  // NaN in the image
    ac["channels"][0]["a"] = 0.0;
    ac["channels"][0]["b"] = 230.5;
    ac["channels"][0]["c"] = 231.0;
    ac["channels"][0]["f"] = 50.0;
    Json::Value dc;
    dc["voltage"] = 53.5;
    dc["current"] = 0.0;
    dc["dc_m"] = 9;  // more than the record holds: cut to its four
    for (int i = 0; i < 4; ++i) dc["m_value"].append(1.0 + i);
    dc["dc_n"] = 1;
    for (int i = 0; i < 9; ++i) dc["n_value"].append(2.0);
    dc["p_count"] = 2;
    dc["user_p"].append(site::float_json(-0.1f));
    dc["user_p"].append(7.0);

    const struct {
        int record;
        const Json::Value* fields;
        std::vector<std::tuple<std::string, std::string, int, bool, std::string>>
            want;  // path, field, index, provided, unit
    } cases[] = {
        {site::kAcRecord,
         &ac,
         {{"ia", "ia", -1, false, "A"},
          {"ib", "ib", -1, true, "A"},
          {"ic", "ic", -1, false, "A"},
          {"channels.0.a", "channels.a", 0, true, "V"},
          {"channels.0.b", "channels.b", 0, true, "V"},
          {"channels.0.c", "channels.c", 0, true, "V"},
          {"channels.0.f", "channels.f", 0, true, "Hz"}}},
        {site::kDcRecord,
         &dc,
         {{"voltage", "voltage", -1, true, "V"},
          {"current", "current", -1, true, "A"},
          {"m_value.0", "m_value", 0, true, "A"},
          {"m_value.1", "m_value", 1, true, "A"},
          {"m_value.2", "m_value", 2, true, "A"},
          {"m_value.3", "m_value", 3, true, "A"},
          {"n_value.0", "n_value", 0, true, "A"},
          {"user_p.0", "user_p", 0, false, ""},
          {"user_p.1", "user_p", 1, true, ""},
          {"power", "power", -1, true, "W"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        const std::vector<site::UnitValue> values = site::unit_values(c.record, *c.fields);
        ASSERT_EQ(values.size(), c.want.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            const auto& [path, field, index, provided, unit] = c.want[i];
            EXPECT_EQ(values[i].path, path);
            EXPECT_EQ(values[i].field, field) << path;
            EXPECT_EQ(values[i].index, index) << path;
            EXPECT_EQ(values[i].provided, provided) << path;
            EXPECT_EQ(values[i].unit, unit) << path;
        }
    }
    site::UnitValue value;
    value.path = "channels.12.a";
    EXPECT_EQ(site::state_template_path(value), "value_json.fields.channels[12].a");
    value.path = "m_value.3";
    EXPECT_EQ(site::state_template_path(value), "value_json.fields.m_value[3]");
    value.path = "power";
    value.derived = true;
    EXPECT_EQ(site::state_template_path(value), "value_json.derived.power");
}

// Label values with quotes, backslashes and line feeds still make a file Prometheus reads,
// and values the device did not provide are left out.
TEST(MetricsText, EscapesLabelsAndLeavesOutWhatWasNotProvided) {
    site::SystemCounts counts;
    counts.rounds = 4;
    counts.refusedByReason["bad \"checksum\"\\\nline"] = 2;
    site::RoundUnit image;
    image.values = site::unit_values(site::kDcRecord, [] {
        Json::Value dc;
        dc["voltage"] = 53.5;
        dc["current"] = 1.25;
        dc["p_count"] = 1;
        dc["user_p"].append(site::float_json(-0.1f));
        return dc;
    }());
    site::UnitState unit;
    unit.system = 1;
    unit.unit = 21;
    unit.kind = "dc";
    unit.image = &image;
    unit.valueLines = site::metric_value_lines(unit);
    site::AlarmState alarm;
    alarm.system = 1;
    alarm.unit = 21;
    alarm.key = "DC_3";
    alarm.number = 1;
    alarm.code = "x\"y";
    alarm.state = 1;
    site::MetricsView view;
    view.systems.push_back({1, &counts, 12.5, true, {&unit}});
    view.activeAlarms.push_back(&alarm);
    view.history = {10, 1};
    const auto samples = parse_exposition(site::metrics_text(view));
    EXPECT_EQ(samples.at("ktr40e_dc_volts{system=\"1\",unit=\"21\"}"), 53.5);
    EXPECT_EQ(samples.at("ktr40e_dc_load_watts{system=\"1\",unit=\"21\"}"), 66.875);
    EXPECT_EQ(samples.count("ktr40e_setting{system=\"1\",unit=\"21\",kind=\"dc\",name=\"user_p.0\"}"), 0u);
    EXPECT_EQ(samples.at("ktr40e_refused_answers_total{system=\"1\",reason=\"bad \\\"checksum\\\"\\\\\\nline\"}"), 2);
    EXPECT_EQ(samples.at("ktr40e_last_round_age_seconds{system=\"1\"}"), 12.5);
    EXPECT_EQ(samples.at("ktr40e_images_failed_total"), 1);
    EXPECT_EQ(
        samples.at(
            "ktr40e_alarm_active{system=\"1\",unit=\"21\",key=\"DC_3\",number=\"1\",code=\"x\\\"y\",level=\"0\"}"),
        1);
    EXPECT_EQ(samples.count("ktr40e_mqtt_messages_dropped_total"), 0u);
}

}  // namespace
}  // namespace e2e
