// Faults on the line and in the history cache, end to end: the host over a simulated power
// system that sends odd counts, cut-short and late answers, hangs up, or finds garbage in the
// history at start. After each fault the rounds go on with the right values, every round's
// images are saved whole, and the host's events name what went wrong.
#include <algorithm>
#include <sstream>

#include "site/store/history_writer.h"
#include "site_fixture.h"

namespace e2e {
namespace {

using site::EventKind;

constexpr std::uint64_t kRounds = 5;

std::vector<unsigned> unit_ids() { return {ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1), 1u}; }

site::SiteConfig fast_site(const std::string& port) { return site_of({system_json(1, port)}); }

// Every completed round saved each unit's image once, byte for byte as it was published, and
// every saved image decodes at its layout's size.
void expect_history_whole(HostRun& run) {
    const std::uint64_t rounds = run.host->runners().front()->rounds();
    site::HistoryStore& store = run.host->store();
    const std::vector<site::Event> published = run.recorder->of(EventKind::Publish);
    for (const unsigned id : unit_ids()) {
        std::vector<std::vector<std::uint8_t>> sent;
        for (const site::Event& e : published)
            if (e.device == id) sent.push_back(e.bytes);
        std::vector<std::vector<std::uint8_t>> saved;
        store.for_each([&saved](const site::StoredImage& stored) { saved.push_back(stored.image); }, id);
        EXPECT_EQ(saved.size(), rounds) << "unit " << id;
        EXPECT_EQ(saved, sent) << "unit " << id;
    }
    store.for_each([](const site::StoredImage& stored) {
        const site::DecodedImage decoded = site::decode_image(stored.record, stored.image);
        EXPECT_TRUE(decoded.ok) << "unit " << stored.device << ": " << decoded.error;
    });
    EXPECT_EQ(run.host->history().failed(), 0u);
}

Json::Value timeless(Json::Value fields) {
    fields.removeMember("update_time");
    return fields;
}

// The item at a dotted path such as "modules.0.p41_41".
Json::Value& item_at(Json::Value& root, const std::string& path) {
    Json::Value* item = &root;
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '.');) {
        const bool index = part.find_first_not_of("0123456789") == std::string::npos;
        item = index ? &(*item)[static_cast<Json::ArrayIndex>(std::stoul(part))] : &(*item)[part];
    }
    return *item;
}

// A field that a fault leaves in one unit's image while it lasts.
struct FieldChange {
    unsigned unit = 0;  // 0: none
    const char* field = nullptr;
    unsigned value = 0;
};

// Each unit's images of rounds `from` to `to` (from 1) are its first round's, the time stamp
// aside, with `change` applied.
void expect_rounds_like_the_first(const site::Recorder& recorder, std::size_t from, std::size_t to,
                                  const FieldChange& change = FieldChange()) {
    for (const unsigned id : unit_ids()) {
        const std::vector<Json::Value> images = published_fields(recorder, id);
        ASSERT_GE(images.size(), to) << "unit " << id;
        Json::Value expected = timeless(images.front());
        if (id == change.unit) item_at(expected, change.field) = change.value;
        for (std::size_t round = from; round <= to; ++round)
            EXPECT_EQ(timeless(images[round - 1]), expected) << "unit " << id << ", round " << round;
    }
}

std::vector<std::string> log_formats(const site::Recorder& recorder) {
    std::vector<std::string> formats;
    for (const site::Event& log : recorder.of(EventKind::Log)) formats.push_back(log.format);
    return formats;
}

bool logged(const site::Recorder& recorder, const std::string& text) {
    const auto formats = log_formats(recorder);
    return std::any_of(formats.begin(), formats.end(),
                       [&text](const std::string& format) { return format.find(text) != std::string::npos; });
}

// Puts `faults` on the line when the first round ends and takes them off once the simulator
// has counted `answers` faulty answers in `counter`, noting the round each of them came in.
class FaultWindow {
public:
    FaultWindow(sim::Simulator& simulator, sim::Faults faults, std::uint64_t sim::SimStats::*counter,
                std::uint64_t answers)
        : simulator_(simulator), faults_(std::move(faults)), counter_(counter), answers_(answers) {}

    void attach(RoundHook& hook) {
        hook.onRound = [this](unsigned, int round) {
            completed_ = round;
            if (round == 1) simulator_.set_faults(faults_);
        };
        // A late answer is dropped, not answered: it closes the window too.
        hook.onEvent = [this](const site::Event& event) {
            if (event.kind == EventKind::Answer || event.kind == EventKind::Discard) on_answer();
        };
    }

    // The round of each faulty answer, in order.
    const std::vector<int>& rounds() const { return rounds_; }

private:
    void on_answer() {
        if (closed_) return;
        const std::uint64_t seen = simulator_.stats().*counter_;
        for (; noted_ < seen; ++noted_) rounds_.push_back(completed_ + 1);
        if (seen < answers_) return;
        simulator_.set_faults(sim::Faults());
        closed_ = true;
    }

    sim::Simulator& simulator_;
    sim::Faults faults_;
    std::uint64_t sim::SimStats::*counter_;
    std::uint64_t answers_;
    int completed_ = 0;
    std::uint64_t noted_ = 0;
    bool closed_ = false;
    std::vector<int> rounds_;
};

// What the rounds publish while an odd count lasts.
enum class During {
    Kept,     // the rounds' images are the first round's with `change`
    Resized,  // a unit follows the count: its images have another shape meanwhile
    Leaves,   // values kept meanwhile stay behind the count afterwards (a record clears no field)
};

// One kind of count the driver cannot keep or does not expect (see sim/overcounts.h).
struct OvercountCase {
    const char* kind;
    const char* logged;  // part of the log line that names it; nullptr: the plug-in logs nothing
    During during;
    FieldChange change;  // what a completed round keeps of it
};

void PrintTo(const OvercountCase& c, std::ostream* out) { *out << c.kind; }

class Overcounts : public ::testing::TestWithParam<OvercountCase> {};

// Two answers in a row carry the odd count, then the line is clean again. No round stalls.
TEST_P(Overcounts, AreLoggedAndTheRoundsGoOnWithTheRightValues) {
    const OvercountCase& c = GetParam();
    TempDir dir;
    SimulatedSystem line;
    HostRun run(fast_site(line.port), options_for(dir, kRounds));
    sim::Faults faults;
    faults.overcount = 1;
    faults.overcountKind = c.kind;
    FaultWindow window(*line.simulator, faults, &sim::SimStats::overcounted, 2);
    window.attach(*run.hook);
    run.run(std::chrono::seconds(30));

    EXPECT_EQ(run.host->runners().front()->rounds(), kRounds);
    expect_history_whole(run);
    EXPECT_EQ(window.rounds(), std::vector<int>({2, 3}));
    if (c.logged != nullptr) {
        EXPECT_TRUE(logged(*run.recorder, c.logged)) << ::testing::PrintToString(log_formats(*run.recorder));
    } else {
        EXPECT_EQ(run.recorder->count(EventKind::Log), 0u) << ::testing::PrintToString(log_formats(*run.recorder));
    }
    if (c.during == During::Kept) expect_rounds_like_the_first(*run.recorder, 2, 3, c.change);
    if (c.during != During::Leaves) expect_rounds_like_the_first(*run.recorder, 4, kRounds);
}

const unsigned kAc0 = ac_id(1, 0);
const unsigned kDc0 = dc_id(1, 0);
const unsigned kDc1 = dc_id(1, 1);

INSTANTIATE_TEST_SUITE_P(
    Faults, Overcounts,
    ::testing::Values(
        // A channel more than the unit established: followed by 40/41, which the 40/44 answers of
        // the same round (still with the unit's own count) do not fit, until a 40/41 brings the count back.
        OvercountCase{"ac_channels", "channel_count changed from {} to {}", During::Resized, {}},
        OvercountCase{"ac_channel_user", "read 40_41 p is {} not {}", During::Kept, {kAc0, "channels.0.p40_41", 1}},
        // Nine air switches for a record of eight: the first eight are kept, and counted.
        OvercountCase{"air_switches", "read 40_43 m is %d max %d", During::Kept, {kAc0, "airlock_count", 8}},
        OvercountCase{"ac_user_status", "read 40_43 p is {} not {}", During::Kept, {kAc0, "p40_43", 1}},
        OvercountCase{"ac_extra_states", "read 40_44 m is {}", During::Kept, {}},
        OvercountCase{"ac_user_alarms", "read 40_44 p is {} not {}", During::Kept, {kAc0, "channels.0.p40_44", 7}},
        // A module more in one answer: the group follows it until the count comes back.
        OvercountCase{"modules", "module_count changed from {} to {}", During::Resized, {}},
        OvercountCase{"module_user", "read 41_41 p is {} not {}", During::Kept, {1, "modules.0.p41_41", 2}},
        OvercountCase{"module_status_count", "module_count changed from {} to {}", During::Resized, {}},
        OvercountCase{"module_user_status", "read 41_43 p is {}, not {}", During::Kept, {1, "modules.0.p41_43", 3}},
        OvercountCase{"module_alarm_count", "module_count changed from {} to {}", During::Resized, {}},
        OvercountCase{"module_user_alarms", "read 41_44 p is {}, not {}", During::Kept, {1, "modules.0.p41_44", 2}},
        OvercountCase{"dc_batteries", "read dc_m is {}, MAX_M is {}", During::Kept, {kDc0, "dc_m", 5}},
        OvercountCase{"dc_branches", "read dc_n is {}, MAX_N is {}", During::Kept, {kDc0, "dc_n", 10}},
        // Nine user values for a record of eight: the first eight are kept, and stay once the count
        // is back to none.
        OvercountCase{"dc_user", "read p_count is {}, support user_p max is {}", During::Leaves, {}},
        // More fuse states than the record keeps: the first 64 are kept, without a word.
        OvercountCase{"dc_fuses", nullptr, During::Kept, {kDc0, "alert_m_count", 65}},
        OvercountCase{
            "dc_user_alarms", "read 42_44 p is {},  alert_p is {}", During::Kept, {kDc0, "alert_p_count", 18}},
        // User-defined AC parameters are counted, not kept.
        OvercountCase{"ac_parameters_user", nullptr, During::Kept, {}},
        OvercountCase{"dc_parameters_user", "parse42_46 {} p:{} != {}", During::Kept, {1, "p42_46", 4}}),
    [](const ::testing::TestParamInfo<OvercountCase>& param) { return std::string(param.param.kind); });

TEST(TruncatedAnswers, AreRefusedAndLoggedAndNoRoundKeepsAPartOfThem) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.seed = 23;
    SimulatedSystem line(config);
    HostRun run(fast_site(line.port), options_for(dir, 6));
    sim::Faults faults;
    faults.truncate = 0.4;
    FaultWindow window(*line.simulator, faults, &sim::SimStats::truncated, 8);
    window.attach(*run.hook);
    run.run(std::chrono::seconds(30));

    EXPECT_EQ(run.host->runners().front()->rounds(), 6u);
    ASSERT_EQ(window.rounds().size(), 8u);
    EXPECT_LE(window.rounds().back(), 4);
    expect_history_whole(run);
    expect_rounds_like_the_first(*run.recorder, 2, 6);
    EXPECT_TRUE(logged(*run.recorder, "overflow")) << ::testing::PrintToString(log_formats(*run.recorder));
}

// Every answer comes after the host has given up on it; the host waits for the line to fall
// quiet, drops the late answer and asks again, so no late answer meets another request. A step
// left without an answer on three polls in a row is gone on without (logged): the round then
// publishes what the units held, never a value of another request's answer.
TEST(SlowAnswers, BeyondTheReplyTimeoutNeverBringWrongValuesIntoARound) {
    TempDir dir;
    SimulatedSystem line;
    Json::Value system = system_json(1, line.port);
    system["reply_timeout_adaptive"] = false;  // a learned wait would soon take the slow answers
    HostRun run(site_of({system}), options_for(dir, 6));
    sim::Faults faults;
    faults.slow = 1;
    faults.delay = std::chrono::milliseconds(150);  // the reply timeout is 100 ms
    FaultWindow window(*line.simulator, faults, &sim::SimStats::slowed, 20);
    window.attach(*run.hook);
    run.run(std::chrono::seconds(30));

    EXPECT_EQ(run.host->runners().front()->rounds(), 6u);
    EXPECT_GE(run.recorder->count(EventKind::Timeout), 10u);
    const site::LineCounts counts = run.host->runners().front()->line_counts();
    EXPECT_GE(counts.lateAnswers, 19u);
    EXPECT_EQ(counts.refused_total(), 0u) << counts.text(true);
    for (const auto& [format, times] : counts.protocolErrors)
        EXPECT_NE(format.find("on {} polls in a row"), std::string::npos) << counts.text(true);
    ASSERT_GE(window.rounds().size(), 20u);
    EXPECT_LE(window.rounds().back(), 4);
    expect_history_whole(run);
    expect_rounds_like_the_first(*run.recorder, 2, 6);
}

// The line hangs up when the second round ends and comes back after three reply timeouts.
struct VanishingLine {
    TempDir dir;
    SimulatedSystem line{quiet_system(), dir.file("line")};
    HostRun run{fast_site(line.port), options_for(dir, kRounds)};
    int timeoutsWhileGone = 0;

    VanishingLine() {
        sim::Simulator& simulator = *line.simulator;
        run.hook->onRound = [&simulator](unsigned, int round) {
            if (round == 2) simulator.hang_up();
        };
        run.hook->onEvent = [this, &simulator](const site::Event& event) {
            if (event.kind == EventKind::Timeout && published_rounds() == 2 && ++timeoutsWhileGone == 3)
                simulator.come_back();
        };
        run.run(std::chrono::seconds(30));
    }

    std::size_t published_rounds() const { return run.recorder->of(EventKind::Round).size(); }
};

TEST(VanishingPort, TheHostOpensItAgainWhenItComesBackAndGoesOn) {
    VanishingLine v;
    EXPECT_EQ(v.run.host->runners().front()->rounds(), kRounds);
    EXPECT_EQ(v.timeoutsWhileGone, 3);
    expect_history_whole(v.run);
    expect_rounds_like_the_first(*v.run.recorder, 2, kRounds);
}

// While the port is gone the host says why no answer comes, naming the port.
TEST(VanishingPort, TheHostNamesTheLostPortInItsEvents) {
    VanishingLine v;
    const std::vector<site::Event> events = v.run.recorder->events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&v](const site::Event& e) {
        return e.kind == EventKind::Line && e.text.find(v.line.port) != std::string::npos;
    }));
}

struct SavedImage {
    unsigned unit;
    int record;
    std::vector<std::uint8_t> image;
};

// Saves the images the way the host does, in a database of their own.
void save_images(const std::string& db, const std::vector<SavedImage>& images) {
    const auto store = site::HistoryStore::open(db);
    for (const SavedImage& saved : images) store->save(saved.unit, saved.record, saved.image, site::now_ms());
}

// `size` bytes of junk whose count byte at `countAt` (if any) says `count`.
std::vector<std::uint8_t> junk(std::size_t size, int countAt = -1, std::uint8_t count = 0) {
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 37 + 11);
    if (countAt >= 0) image[static_cast<std::size_t>(countAt)] = count;
    return image;
}

// Images of sizes their own counts contradict: a unit that took one in would be left with
// channels or modules the power system does not have, and no round would complete.
TEST(CorruptCache, ImagesOfTheWrongSizeAreRefusedAndTheFirstRoundIsAsWithoutThem) {
    TempDir dir;
    SimulatedSystem line;
    HostRun clean(fast_site(line.port), options_for(dir, 1));
    clean.run();
    clean.host.reset();  // lets go of the port for the next host

    const std::string db = dir.file("junk.db");
    save_images(db, {{ac_id(1, 0), site::kAcRecord, junk(37 + 28, 16, 2)},
                     {ac_id(1, 1), site::kAcRecord, junk(37)},
                     {dc_id(1, 0), site::kDcRecord, junk(189)},
                     {dc_id(1, 1), site::kDcRecord, junk(191)},
                     {1, site::kRcRecord, junk(57 + 18 * 4, 49, 5)}});
    site::SiteOptions options = options_for(dir, 2);
    options.dbPath = db;
    options.queries = {{"ia", ac_id(1, 0)}, {"v", dc_id(1, 0)}};
    HostRun run(fast_site(line.port), options);

    const std::string restored = run.output();
    for (const char* unit : {"ktr40e-ac 101", "ktr40e-ac 102", "ktr40e-dc 151", "ktr40e-dc 152", "ktr40e-rc 1"})
        EXPECT_NE(restored.find(std::string("restore ") + unit + ": refused the image of"), std::string::npos)
            << restored;
    for (const site::Event& answer : run.host->first_answers()) {
        EXPECT_TRUE(answer.failed);
        EXPECT_EQ(answer.text, "数据未就绪");
    }
    run.run();

    EXPECT_EQ(run.host->runners().front()->rounds(), 2u);
    for (const unsigned id : unit_ids()) {
        EXPECT_EQ(timeless(published_fields(*run.recorder, id).front()),
                  timeless(published_fields(*clean.recorder, id).front()))
            << "unit " << id;
    }
    // The junk stays where it was, beside the two new rounds.
    site::HistoryStore& store = run.host->store();
    EXPECT_EQ(store.count(), 5u + 2u * 5u);
    std::size_t undecodable = 0;
    store.for_each(
        [&](const site::StoredImage& s) { undecodable += site::decode_image(s.record, s.image).ok ? 0 : 1; });
    EXPECT_EQ(undecodable, 5u);
}

}  // namespace
}  // namespace e2e
