// What an operator must mend is refused before anything is opened, with exit status 2, a
// message naming the file or option and why, and every file named left byte for byte as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "program_support.h"
#include "site/store/history_store.h"

namespace e2e {
namespace {

std::string with_systems(const std::string& first, const std::string& second) {
    Json::Value root;
    Json::Value a = system_json(1, first);
    Json::Value b = system_json(2, second, 0, 0);
    root["systems"].append(a);
    root["systems"].append(b);
    return root.toStyledString();
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct Files {
    explicit Files(const TempDir& folder) : dir(folder) {
        write("sim.json", R"({"baud": 0, "drift": 0})");
        Json::Value system = system_json(1, "");
        system["simulator"] = "sim.json";
        write("site.json", system.toStyledString());
        write("ktr40e.so", read_file(KTR40E_PLUGIN_PATH));
        site::HistoryStore::open(dir.file("h.db"))->save(1, 5155, {1, 2, 3}, 1);
        write("events.jsonl", "{\"event\":\"tx\"}\n");
        write("notes.txt", "notes\n");
        write("comment.json", "{\"data_id\": 1, \"rcSetting\": {} // why\n}");
        write("zero.json", R"({"data_id": 1, "rcSetting": {}, "address": 01})");
        write("deep.json", R"({"data_id": 1, "rcSetting": {}, "simulator": {"x": )" + nested(100) + "}}");
        ::symlink(dir.file("ttyS7").c_str(), dir.file("serial-link").c_str());
        write("ttyS7", "");
        write("twice.json", with_systems(dir.file("ttyS7"), dir.file("serial-link")));
        Json::Value other = parse(with_systems(dir.file("ttyS7"), dir.file("ttyS7")));
        other["systems"][1]["address"] = 2;
        other["systems"][1]["baud"] = 19200;
        write("settings.json", other.toStyledString());
        Json::Value tls = system_json(1, "");
        tls["mqtt"]["host"] = "127.0.0.1";
        tls["mqtt"]["tls"]["ca_file"] = "missing-ca.pem";
        write("tls.json", tls.toStyledString());
        write("secret", "hunter2\n");
        Json::Value password = system_json(1, "");
        password["mqtt"]["host"] = "127.0.0.1";
        password["mqtt"]["username"] = "site";
        password["mqtt"]["password_file"] = "secret";
        write("password.json", password.toStyledString());
        Json::Value typo = system_json(1, "");
        typo["simulator"]["faults"]["dorp"] = 0.1;
        write("sim-typo.json", typo.toStyledString());
        Json::Value many = system_json(1, "");
        for (unsigned i = 0; i < 256; ++i) many["dcSetting"][i]["data_id"] = 1000 + i;
        write("many.json", many.toStyledString());
        Json::Value simulated = system_json(1, "");
        simulated["simulator"]["ac"] = 300;
        write("simulated.json", simulated.toStyledString());
        ::mkfifo(dir.file("fifo").c_str(), 0600);
        ::mkdir(dir.file("folder").c_str(), 0700);
        ::symlink(dir.file("fresh.db").c_str(), dir.file("ghost").c_str());
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name), std::ios::binary) << text;
        names.push_back(name);
    }
    std::map<std::string, std::string> contents() const {
        std::map<std::string, std::string> all;
        for (const std::string& name : names) all[name] = read_file(dir.file(name));
        return all;
    }
    const TempDir& dir;
    std::vector<std::string> names;
};

TEST(PathRule, EveryMistakeExits2NamingWhyAndLeavesEveryFileAsItWas) {
    TempDir dir;
    Files files(dir);
    const auto at = [&](const std::string& name) { return dir.file(name); };
    const std::string db = at("h.db");
    const struct {
        std::string site;
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        // Outputs written over other files of the run.
        {"site.json", {"--metrics-file", db}, "metrics file " + db + ": the same file as the history database"},
        {"site.json", {"--metrics-file", at("site.json")}, "the same file as the site file"},
        {"site.json", {"--metrics-file", at("ktr40e.so")}, "the same file as the plug-in"},
        {"site.json", {"--metrics-file", "/dev/null"}, "metrics file /dev/null: not a regular file"},
        {"site.json", {"--metrics-file", at("notes.txt")}, "holds no metrics of this host"},
        {"site.json",
         {"--metrics-file", at("events.jsonl"), "--events", at("events.jsonl")},
         "the same file as the metrics file"},
        {"site.json", {"--events", at("sim.json")}, "the same file as the simulator file of power system 1"},
        {"password.json", {"--metrics-file", at("secret")}, "the same file as the MQTT password file"},
        {"site.json",
         {"--events", at("ghost"), "--db", at("fresh.db")},
         "--events " + at("ghost") + ": the same file as the history database"},
        {"site.json", {"--events", db + "-wal"}, "the same file as the history database (" + db + "-wal)"},
        {"site.json", {"--events", at("notes.txt")}, "holds no event lines"},
        {"site.json", {"--events", at("folder")}, "not a regular file"},
        {"site.json", {"--db", at("folder")}, "not a regular file"},
        // One device, one id; one line, one set of settings.
        {"twice.json",
         {},
         "are on one port (" + at("ttyS7") + " and " + at("serial-link") +
             ") at one address, 1: one device under two data ids"},
        {"settings.json", {}, "at other line settings (9600 8N1, 19200 8N1)"},
        // Site files as strict as documented, and the files they name.
        {"comment.json", {}, "comment.json: line 1, column 32: comments are not allowed"},
        {"zero.json", {}, "zero.json: line 1, column 44: a number must not start with 0"},
        {"deep.json", {}, "deep.json: nested deeper than 64 levels"},
        {"fifo", {}, "fifo: not a regular file"},
        {"/dev/zero", {}, "/dev/zero: not a regular file"},
        {"folder", {}, "folder: not a regular file"},
        {"none.json", {}, "none.json: cannot be read: No such file or directory"},
        {"tls.json", {}, "mqtt.tls.ca_file: " + at("missing-ca.pem") + ": cannot be read: No such file or directory"},
        {"many.json", {}, "many.json: dcSetting: must hold at most 255 objects"},
        {"simulated.json", {}, "simulated.json: power system 1: simulator configuration: ac"},
        {"sim-typo.json",
         {},
         R"(sim-typo.json: power system 1: simulator configuration: faults: unknown key "dorp" (did you mean "drop"?))"},
        // The command line.
        {"site.json", {"--rounds", "0"}, "--rounds: expects a whole number from 1 to 1000000000, not \"0\""},
        {"site.json", {"--db", ""}, "--db: must not be empty"},
        {"site.json", {"--events", ""}, "--events: must not be empty"},
        {"site.json", {"--query", "v@999"}, "--query v@999: no unit of the site has that data id"},
    };
    const auto before = files.contents();
    int run = 0;
    for (const auto& c : cases) {
        const std::string site = c.site.front() == '/' ? c.site : at(c.site);
        std::vector<std::string> args = {"--plugin", at("ktr40e.so"), "--site", site, "--rounds", "1", "--db", db};
        if (std::find(c.args.begin(), c.args.end(), "--db") != c.args.end()) args.resize(args.size() - 2);
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Program host = start(dir, args, "case" + std::to_string(++run));
        EXPECT_EQ(wait_for(host, std::chrono::seconds(20)), 2) << c.says;
        const std::string err = read_file(host.err);
        EXPECT_NE(err.find(c.says), std::string::npos) << "expected: " << c.says << "\n" << err;
    }
    EXPECT_EQ(files.contents(), before);
    struct stat info {};
    for (const char* made : {"h.db-wal", "fresh.db", "missing-ca.pem"})
        EXPECT_NE(::lstat(at(made).c_str(), &info), 0) << made << " was created";
}

TEST(PathRule, HistoryListingOptionsAreCheckedAndAnEmptyListingSaysSo) {
    TempDir dir;
    const std::string db = dir.file("h.db");
    site::HistoryStore::open(db)->save(1, 5155, {1, 2, 3}, 1);
    const std::string before = read_file(db);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"--limit", "0"}, 2, "--limit: expects a whole number from 1 to 100000000, not \"0\""},
        {{"--limit", "-1"}, 2, "--limit"},
        {{"--limit", "12345678901234567890"}, 2, "expects a whole number from 1"},
        {{"--device", "7"}, 0, "h.db: no saved image matches"},
        {{"--db", dir.file("none.db")}, 2, "none.db: no such history database"},
    };
    int run = 0;
    for (const auto& c : cases) {
        std::vector<std::string> args = {"history"};
        if (c.args[0] != "--db") args.insert(args.end(), {"--db", db});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Program history = start(dir, args, "history" + std::to_string(++run));
        EXPECT_EQ(wait_for(history), c.status) << c.says;
        EXPECT_NE(read_file(history.err).find(c.says), std::string::npos) << read_file(history.err);
    }
    EXPECT_EQ(read_file(db), before);
}

}  // namespace
}  // namespace e2e
